# Makes the release folder OUT (cmake -P; the target "release" of
# ReleaseFolder.cmake): the signed program EXE, its symbols DEBUG_FILE, the
# administrator's guide GUIDE, a README.txt and SHA256SUMS. It is put
# together beside OUT, checked with CHECK (scripts/check-windows-exe.sh),
# and only then takes OUT's place.
cmake_minimum_required(VERSION 3.20)
foreach(_v EXE DEBUG_FILE GUIDE CHECK ARCH VERSION OUT)
  if("${${_v}}" STREQUAL "")
    message(FATAL_ERROR "MakeReleaseFolder: ${_v} is not set")
  endif()
endforeach()

set(_work "${OUT}.partial")
file(REMOVE_RECURSE "${_work}")
file(MAKE_DIRECTORY "${_work}")
get_filename_component(_exe "${EXE}" NAME)
get_filename_component(_debug "${DEBUG_FILE}" NAME)
get_filename_component(_program "${EXE}" NAME_WE)
file(COPY "${EXE}" "${DEBUG_FILE}" DESTINATION "${_work}")
file(COPY_FILE "${GUIDE}" "${_work}/administrators.md")

set(_warning "")
if(DEVELOPMENT OR DEVELOPMENT_PACKAGE_KEY)
  set(_warning
"!!! DEVELOPMENT BUILD: DO NOT DEPLOY !!!
")
  if(DEVELOPMENT)
    string(APPEND _warning
"It is signed with a throwaway development certificate that no Windows
machine trusts.
")
  endif()
  if(DEVELOPMENT_PACKAGE_KEY)
    string(APPEND _warning
"It checks agent packages against a throwaway development key: packages
signed by the publisher do not validate.
")
  endif()
  string(APPEND _warning "\n")
endif()

file(WRITE "${_work}/README.txt"
"${_program} ${VERSION} for Windows (${PROCESSOR})

${_warning}Files
  ${_exe}
      the program: the one file to deploy
  ${_debug}
      its symbols, for crash analysis (gdb, addr2line); not deployed
  administrators.md
      the administrator's guide
  README.txt
      this file
  SHA256SUMS
      the SHA-256 checksum of each file above

Signature (Authenticode, SHA-256)
  Signer: ${SIGNER}
  Certificate thumbprint (SHA-1): ${SIGNER_THUMBPRINT}
  Certificate SHA-256 fingerprint: ${SIGNER_SHA256}

Checking the files
  Linux:       sha256sum -c SHA256SUMS
               osslsigncode verify -in ${_exe}
  PowerShell:  Get-FileHash -Algorithm SHA256 .\\${_exe}
               Get-AuthenticodeSignature .\\${_exe} | Format-List
  Explorer:    the file's Properties show its version (Details tab) and
               its signature (Digital Signatures tab).
")

# sha256sum's format: the hash, two spaces, the name.
set(_sums "")
foreach(_f "${_exe}" "${_debug}" administrators.md README.txt)
  file(SHA256 "${_work}/${_f}" _hash)
  string(APPEND _sums "${_hash}  ${_f}\n")
endforeach()
file(WRITE "${_work}/SHA256SUMS" "${_sums}")

set(_check bash "${CHECK}" --version "${VERSION}")
if(NOT "${TRUST}" STREQUAL "")
  list(APPEND _check --trust "${TRUST}")
endif()
if(TIMESTAMPED)
  list(APPEND _check --timestamped)
endif()
execute_process(COMMAND ${_check} "${_work}/${_exe}" "${ARCH}" RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "The release folder failed its check; it is left in ${_work}")
endif()

file(REMOVE_RECURSE "${OUT}")
file(RENAME "${_work}" "${OUT}")
message(STATUS "Release folder: ${OUT}")

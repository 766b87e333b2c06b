# The release folder of the shipped Windows program: what is handed over.
#
#   zyra_add_release_target(<target>)
#
# adds the target "release", which makes ${CMAKE_BINARY_DIR}/release with
#   <program>.exe                 the signed, stripped program
#   <program>-<version>.debug     its symbols (the program's debug link names it)
#   administrators.md             the administrator's guide
#   README.txt                    what the folder holds, who signed it, how to check
#   SHA256SUMS                    the SHA-256 of each of them (sha256sum -c)
# and checks it with scripts/check-windows-exe.sh (version resource,
# manifest, signature, no debug sections, the debug link, the checksums)
# before it replaces the previous folder. Needs zyra_ship_windows_program.

function(zyra_add_release_target target)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
    set(_arch x86-64)
  else()
    set(_arch i386)
  endif()
  # Who signs, as Windows shows it (the thumbprint is the certificate's SHA-1).
  execute_process(COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${ZYRA_CODE_SIGNING_LEAF}" -noout
                          -subject -nameopt RFC2253
                  OUTPUT_VARIABLE _subject OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "^subject=" "" _subject "${_subject}")
  foreach(_digest sha1 sha256)
    execute_process(COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${ZYRA_CODE_SIGNING_LEAF}" -noout
                            -fingerprint -${_digest}
                    OUTPUT_VARIABLE _fp OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE "^[^=]*=" "" _${_digest} "${_fp}")
  endforeach()
  string(REPLACE ":" "" _sha1 "${_sha1}")
  set(_timestamped OFF)
  if(NOT ZYRA_CODE_SIGNING_TIMESTAMP_URL STREQUAL "")
    set(_timestamped ON)
  endif()
  add_custom_target(release
    COMMAND ${CMAKE_COMMAND}
            "-DEXE=$<TARGET_FILE:${target}>"
            "-DDEBUG_FILE=$<TARGET_GENEX_EVAL:${target},$<TARGET_PROPERTY:${target},ZYRA_DEBUG_FILE>>"
            "-DGUIDE=${PROJECT_SOURCE_DIR}/docs/administrators.md"
            "-DCHECK=${PROJECT_SOURCE_DIR}/scripts/check-windows-exe.sh"
            "-DARCH=${_arch}"
            "-DPROCESSOR=${CMAKE_SYSTEM_PROCESSOR}"
            "-DVERSION=${PROJECT_VERSION}"
            "-DTRUST=${ZYRA_CODE_SIGNING_TRUST_ANCHOR}"
            "-DTIMESTAMPED=${_timestamped}"
            "-DDEVELOPMENT=${ZYRA_CODE_SIGNING_IS_DEVELOPMENT}"
            "-DDEVELOPMENT_PACKAGE_KEY=$<IF:$<BOOL:${ZYRA_PACKAGE_PUBLIC_KEY}>,OFF,ON>"
            "-DSIGNER=${_subject}"
            "-DSIGNER_THUMBPRINT=${_sha1}"
            "-DSIGNER_SHA256=${_sha256}"
            "-DOUT=${CMAKE_BINARY_DIR}/release"
            -P "${PROJECT_SOURCE_DIR}/cmake/MakeReleaseFolder.cmake"
    DEPENDS ${target}
    COMMENT "Release folder ${CMAKE_BINARY_DIR}/release"
    VERBATIM)
endfunction()

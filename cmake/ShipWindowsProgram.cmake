# Run after the link of a shipped Windows program (cmake -P, see
# zyra_ship_windows_program in CodeSigning.cmake):
#   1. its full symbols (symbol table and DWARF) go to DEBUG_FILE;
#   2. the program loses them all and gets a debug link naming DEBUG_FILE
#      (its name and CRC-32);
#   3. the stripped program is signed: Authenticode with SHA-256, by
#      osslsigncode, with CERT and KEY (PEM) or PKCS12, a pass-phrase from
#      PASS_FILE and a time stamp from TIMESTAMP_URL when given.
# Stripping comes first: changing a signed file breaks its signature. The
# program is replaced only once all three steps have succeeded.
cmake_minimum_required(VERSION 3.20)
foreach(_v EXE DEBUG_FILE OBJCOPY OSSLSIGNCODE)
  if("${${_v}}" STREQUAL "")
    message(FATAL_ERROR "ShipWindowsProgram: ${_v} is not set")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE "${EXE}.stripped" "${EXE}.signed" "${DEBUG_FILE}.tmp")
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
endfunction()

file(SIZE "${EXE}" _linked)

file(REMOVE "${EXE}.stripped" "${EXE}.signed" "${DEBUG_FILE}.tmp")
run("keeping the symbols of ${EXE}" ${OBJCOPY} --only-keep-debug "${EXE}" "${DEBUG_FILE}.tmp")
file(RENAME "${DEBUG_FILE}.tmp" "${DEBUG_FILE}")
run("stripping ${EXE}" ${OBJCOPY} --strip-all "--add-gnu-debuglink=${DEBUG_FILE}"
    "${EXE}" "${EXE}.stripped")

set(_credentials "")
if(NOT "${PKCS12}" STREQUAL "")
  list(APPEND _credentials -pkcs12 "${PKCS12}")
else()
  list(APPEND _credentials -certs "${CERT}" -key "${KEY}")
endif()
if(NOT "${PASS_FILE}" STREQUAL "")
  list(APPEND _credentials -readpass "${PASS_FILE}")
endif()
set(_timestamp "")
if(NOT "${TIMESTAMP_URL}" STREQUAL "")
  set(_timestamp -ts "${TIMESTAMP_URL}")
endif()
set(_name "")
if(NOT "${DESCRIPTION}" STREQUAL "")
  set(_name -n "${DESCRIPTION}")
endif()
run("signing ${EXE}" ${OSSLSIGNCODE} sign -h sha256 ${_credentials} ${_name} ${_timestamp}
    -in "${EXE}.stripped" -out "${EXE}.signed")
file(REMOVE "${EXE}.stripped")
# osslsigncode writes its output without the execute bits the link gave.
file(CHMOD "${EXE}.signed" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${EXE}.signed" "${EXE}")

file(SIZE "${EXE}" _shipped)
file(SIZE "${DEBUG_FILE}" _symbols)
get_filename_component(_exe_name "${EXE}" NAME)
get_filename_component(_debug_name "${DEBUG_FILE}" NAME)
message(STATUS "${_exe_name}: ${_linked} bytes linked, ${_shipped} bytes stripped and signed; "
               "symbols in ${_debug_name} (${_symbols} bytes)")

# Authenticode signing of the shipping Windows program, with osslsigncode.
#
# ZYRA_CODE_SIGNING_CERT names the code-signing certificate: a PEM file
# (the certificate, then its intermediate certificates) together with
# ZYRA_CODE_SIGNING_KEY, its PEM private key; or a PKCS #12 file (.p12,
# .pfx) holding both, with ZYRA_CODE_SIGNING_KEY left empty.
# ZYRA_CODE_SIGNING_PASS_FILE names a file whose first line is the
# pass-phrase of the key or of the PKCS #12 file. ZYRA_CODE_SIGNING_TIMESTAMP_URL,
# when set, is an RFC 3161 time-stamping service asked at every signing.
# ZYRA_CODE_SIGNING_CA_FILE names the root (PEM) the release check verifies
# the signer's chain against, for a company's own CA; by default the
# system's roots are used.
#
# When ZYRA_CODE_SIGNING_CERT is not set, a throwaway development
# certificate (self-signed, code signing only) and its key are generated in
# the build tree; configure warns loudly. No private key is ever part of the
# sources.
#
# Results:
#   ZYRA_CODE_SIGNING_IS_DEVELOPMENT  ON for the development certificate
#   ZYRA_CODE_SIGNING_TRUST_ANCHOR    what a check of the signature trusts:
#                                     the development certificate, or
#                                     ZYRA_CODE_SIGNING_CA_FILE; empty: the
#                                     system's roots
#   ZYRA_CODE_SIGNING_LEAF            the signer's certificate (PEM)
#   zyra_ship_windows_program(<target> DESCRIPTION <text>)
#       after every link of <target>: its full symbols go to
#       <name>-<version>.debug beside it, the program is stripped and gets a
#       debug link to that file, then it is signed (in that order: stripping
#       a signed file would break its signature).

if(NOT WIN32)
  return()
endif()

set(ZYRA_CODE_SIGNING_CERT "" CACHE FILEPATH
    "Code-signing certificate: PEM (with ZYRA_CODE_SIGNING_KEY) or PKCS #12")
set(ZYRA_CODE_SIGNING_KEY "" CACHE FILEPATH
    "PEM private key of ZYRA_CODE_SIGNING_CERT (empty for a PKCS #12 file)")
set(ZYRA_CODE_SIGNING_PASS_FILE "" CACHE FILEPATH
    "File holding the pass-phrase of the signing key or PKCS #12 file")
set(ZYRA_CODE_SIGNING_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamping service for the signature (optional)")
set(ZYRA_CODE_SIGNING_CA_FILE "" CACHE FILEPATH
    "CA certificates (PEM) the release check verifies the signer's chain against (default: the system's)")

find_program(ZYRA_OSSLSIGNCODE_EXECUTABLE osslsigncode)
if(NOT ZYRA_OSSLSIGNCODE_EXECUTABLE)
  message(FATAL_ERROR "The Windows build signs its program with osslsigncode: "
                      "install it (scripts/install-deps.sh, Debian package osslsigncode).")
endif()
find_program(ZYRA_OPENSSL_EXECUTABLE openssl REQUIRED)
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "No objcopy for this toolchain (CMAKE_OBJCOPY): install binutils-mingw-w64")
endif()

# openssl with the pass-phrase file, when there is one (never a prompt).
set(_zyra_passin -passin pass:)
if(NOT ZYRA_CODE_SIGNING_PASS_FILE STREQUAL "")
  if(NOT EXISTS "${ZYRA_CODE_SIGNING_PASS_FILE}")
    message(FATAL_ERROR "ZYRA_CODE_SIGNING_PASS_FILE: ${ZYRA_CODE_SIGNING_PASS_FILE} does not exist")
  endif()
  set(_zyra_passin -passin "file:${ZYRA_CODE_SIGNING_PASS_FILE}")
endif()

set(ZYRA_CODE_SIGNING_TRUST_ANCHOR "")
set(_zyra_sign_pkcs12 "")
set(_zyra_sign_cert "${ZYRA_CODE_SIGNING_CERT}")
set(_zyra_sign_key "${ZYRA_CODE_SIGNING_KEY}")

if(ZYRA_CODE_SIGNING_CERT STREQUAL "")
  set(ZYRA_CODE_SIGNING_IS_DEVELOPMENT ON)
  if(NOT ZYRA_CODE_SIGNING_KEY STREQUAL "")
    message(FATAL_ERROR "ZYRA_CODE_SIGNING_KEY is set but ZYRA_CODE_SIGNING_CERT is not")
  endif()
  set(_dev "${CMAKE_BINARY_DIR}/dev-keys")
  set(_zyra_sign_cert "${_dev}/code-signing-cert.pem")
  set(_zyra_sign_key "${_dev}/code-signing-key.pem")
  if(NOT EXISTS "${_zyra_sign_cert}" OR NOT EXISTS "${_zyra_sign_key}")
    file(MAKE_DIRECTORY "${_dev}")
    # A configuration of its own: the host's openssl.cnf would add CA
    # extensions to a self-signed certificate.
    file(WRITE "${_dev}/code-signing.cnf"
"[req]
prompt = no
distinguished_name = dn
x509_extensions = ext
[dn]
O = Corvane development build
OU = Throwaway: never trust it on a real machine
CN = CorvZyra development code signing
[ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
")
    execute_process(
      COMMAND ${ZYRA_OPENSSL_EXECUTABLE} req -x509 -new -newkey rsa:3072 -nodes -sha256
              -days 3650 -config "${_dev}/code-signing.cnf"
              -keyout "${_zyra_sign_key}" -out "${_zyra_sign_cert}"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0)
      file(REMOVE "${_zyra_sign_key}" "${_zyra_sign_cert}")
      message(FATAL_ERROR "Could not generate a development code-signing certificate with openssl: ${_err}")
    endif()
  endif()
  set(ZYRA_CODE_SIGNING_TRUST_ANCHOR "${_zyra_sign_cert}")
  set(ZYRA_CODE_SIGNING_LEAF "${_zyra_sign_cert}")
  message(WARNING
    "\n"
    "  *****************************************************************\n"
    "  ZYRA_CODE_SIGNING_CERT is not set: the Windows program is signed\n"
    "  with a THROWAWAY DEVELOPMENT CERTIFICATE generated in\n"
    "    ${_dev}\n"
    "  No Windows machine trusts it. Do not ship this build. Set\n"
    "  -DZYRA_CODE_SIGNING_CERT=<cert.pem> -DZYRA_CODE_SIGNING_KEY=<key.pem>\n"
    "  (or a PKCS #12 file as ZYRA_CODE_SIGNING_CERT alone).\n"
    "  *****************************************************************")
else()
  set(ZYRA_CODE_SIGNING_IS_DEVELOPMENT OFF)
  if(NOT EXISTS "${ZYRA_CODE_SIGNING_CERT}")
    message(FATAL_ERROR "ZYRA_CODE_SIGNING_CERT: ${ZYRA_CODE_SIGNING_CERT} does not exist")
  endif()
  set(_leaf "${CMAKE_BINARY_DIR}/code-signing-leaf.pem")
  set(ZYRA_CODE_SIGNING_LEAF "${_leaf}")
  if(ZYRA_CODE_SIGNING_KEY STREQUAL "")
    # PKCS #12: its own certificate, read with the pass-phrase (files
    # exported with the older ciphers need OpenSSL's legacy provider).
    set(_zyra_sign_pkcs12 "${ZYRA_CODE_SIGNING_CERT}")
    set(_zyra_sign_cert "")
    foreach(_legacy "" "-legacy")
      execute_process(
        COMMAND ${ZYRA_OPENSSL_EXECUTABLE} pkcs12 ${_legacy} -in "${ZYRA_CODE_SIGNING_CERT}"
                -nokeys -clcerts ${_zyra_passin} -out "${_leaf}"
        RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
      if(_rc EQUAL 0)
        break()
      endif()
    endforeach()
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "ZYRA_CODE_SIGNING_CERT: ${ZYRA_CODE_SIGNING_CERT} is not a PKCS #12 file "
                          "that opens with ZYRA_CODE_SIGNING_PASS_FILE (for a PEM certificate set "
                          "ZYRA_CODE_SIGNING_KEY as well): ${_err}")
    endif()
  else()
    if(NOT EXISTS "${ZYRA_CODE_SIGNING_KEY}")
      message(FATAL_ERROR "ZYRA_CODE_SIGNING_KEY: ${ZYRA_CODE_SIGNING_KEY} does not exist")
    endif()
    # The first certificate of the file is the signer's.
    execute_process(
      COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${ZYRA_CODE_SIGNING_CERT}" -out "${_leaf}"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "ZYRA_CODE_SIGNING_CERT: ${ZYRA_CODE_SIGNING_CERT} is not a PEM certificate: ${_err}")
    endif()
    # The key must be the certificate's.
    execute_process(
      COMMAND ${ZYRA_OPENSSL_EXECUTABLE} pkey -in "${ZYRA_CODE_SIGNING_KEY}" ${_zyra_passin} -pubout
      OUTPUT_VARIABLE _key_pub RESULT_VARIABLE _rc ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "ZYRA_CODE_SIGNING_KEY: ${ZYRA_CODE_SIGNING_KEY} is not a private key "
                          "that opens (with ZYRA_CODE_SIGNING_PASS_FILE): ${_err}")
    endif()
    execute_process(
      COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${_leaf}" -noout -pubkey
      OUTPUT_VARIABLE _cert_pub RESULT_VARIABLE _rc)
    if(NOT _key_pub STREQUAL _cert_pub)
      message(FATAL_ERROR "ZYRA_CODE_SIGNING_KEY: ${ZYRA_CODE_SIGNING_KEY} is not the key of "
                          "the certificate in ${ZYRA_CODE_SIGNING_CERT}")
    endif()
  endif()
  execute_process(
    COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${_leaf}" -noout -ext extendedKeyUsage
    OUTPUT_VARIABLE _text RESULT_VARIABLE _rc)
  if(NOT _text MATCHES "Extended Key Usage:[^\n]*\n[^\n]*Code Signing")
    message(FATAL_ERROR "ZYRA_CODE_SIGNING_CERT: the certificate is not for code signing "
                        "(no Code Signing in its extended key usage): ${_text}")
  endif()
  execute_process(
    COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${_leaf}" -noout -checkend 0
    RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "ZYRA_CODE_SIGNING_CERT: the certificate has expired")
  endif()
  execute_process(
    COMMAND ${ZYRA_OPENSSL_EXECUTABLE} x509 -in "${_leaf}" -noout -subject
    OUTPUT_VARIABLE _subject OUTPUT_STRIP_TRAILING_WHITESPACE)
  message(STATUS "Code signing: ${_subject}")
  if(NOT ZYRA_CODE_SIGNING_CA_FILE STREQUAL "")
    if(NOT EXISTS "${ZYRA_CODE_SIGNING_CA_FILE}")
      message(FATAL_ERROR "ZYRA_CODE_SIGNING_CA_FILE: ${ZYRA_CODE_SIGNING_CA_FILE} does not exist")
    endif()
    set(ZYRA_CODE_SIGNING_TRUST_ANCHOR "${ZYRA_CODE_SIGNING_CA_FILE}")
  endif()
endif()
if(NOT ZYRA_CODE_SIGNING_TIMESTAMP_URL STREQUAL "")
  message(STATUS "Code signing: time stamps from ${ZYRA_CODE_SIGNING_TIMESTAMP_URL}")
endif()

function(zyra_ship_windows_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "")
  set(_debug "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>-${PROJECT_VERSION}.debug")
  set_property(TARGET ${target} PROPERTY ZYRA_DEBUG_FILE "${_debug}")
  set(_description "${arg_DESCRIPTION}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
            "-DEXE=$<TARGET_FILE:${target}>"
            "-DDEBUG_FILE=${_debug}"
            "-DOBJCOPY=${CMAKE_OBJCOPY}"
            "-DOSSLSIGNCODE=${ZYRA_OSSLSIGNCODE_EXECUTABLE}"
            "-DCERT=${_zyra_sign_cert}"
            "-DKEY=${_zyra_sign_key}"
            "-DPKCS12=${_zyra_sign_pkcs12}"
            "-DPASS_FILE=${ZYRA_CODE_SIGNING_PASS_FILE}"
            "-DTIMESTAMP_URL=${ZYRA_CODE_SIGNING_TIMESTAMP_URL}"
            "-DDESCRIPTION=${_description}"
            -P "${PROJECT_SOURCE_DIR}/cmake/ShipWindowsProgram.cmake"
    VERBATIM)
  # A new certificate, key or procedure signs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
    "${PROJECT_SOURCE_DIR}/cmake/ShipWindowsProgram.cmake"
    ${_zyra_sign_cert} ${_zyra_sign_key} ${_zyra_sign_pkcs12})
endfunction()

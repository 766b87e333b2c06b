# The package publisher's RSA public key, compiled into the program.
#
# ZYRA_PACKAGE_PUBLIC_KEY names a PEM public key (SubjectPublicKeyInfo or
# PKCS#1). It must be an RSA-2048 key with exponent 65537. When it is not set,
# a throwaway development key pair is generated inside the build tree; the
# tests and the demo sign with its private half. No private key is ever part
# of the sources.
#
# Results: ZYRA_PACKAGE_KEY_HEADER (generated header with the modulus and the
# exponent bytes), ZYRA_DEV_PRIVATE_KEY (path, empty for a real key).

set(ZYRA_PACKAGE_PUBLIC_KEY "" CACHE FILEPATH
    "PEM public key (RSA-2048, e=65537) that package signatures are checked against")

find_program(ZYRA_OPENSSL_EXECUTABLE openssl REQUIRED)

set(ZYRA_DEV_PRIVATE_KEY "")
set(_zyra_key "${ZYRA_PACKAGE_PUBLIC_KEY}")
if(_zyra_key STREQUAL "")
  set(_dev "${CMAKE_BINARY_DIR}/dev-keys")
  set(ZYRA_DEV_PRIVATE_KEY "${_dev}/package-signing-private.pem")
  set(_zyra_key "${_dev}/package-signing-public.pem")
  if(NOT EXISTS "${ZYRA_DEV_PRIVATE_KEY}" OR NOT EXISTS "${_zyra_key}")
    file(MAKE_DIRECTORY "${_dev}")
    execute_process(
      COMMAND ${ZYRA_OPENSSL_EXECUTABLE} genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048
              -pkeyopt rsa_keygen_pubexp:65537 -out "${ZYRA_DEV_PRIVATE_KEY}"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "Could not generate a development signing key with openssl")
    endif()
    execute_process(
      COMMAND ${ZYRA_OPENSSL_EXECUTABLE} pkey -in "${ZYRA_DEV_PRIVATE_KEY}" -pubout
              -out "${_zyra_key}"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "Could not extract the development public key")
    endif()
  endif()
  message(WARNING
    "\n"
    "  *****************************************************************\n"
    "  ZYRA_PACKAGE_PUBLIC_KEY is not set: this build checks packages\n"
    "  against a THROWAWAY DEVELOPMENT KEY generated in\n"
    "    ${_dev}\n"
    "  Packages signed by the real publisher will NOT validate.\n"
    "  Do not ship this build. Set -DZYRA_PACKAGE_PUBLIC_KEY=<public.pem>.\n"
    "  *****************************************************************")
elseif(NOT EXISTS "${_zyra_key}")
  message(FATAL_ERROR "ZYRA_PACKAGE_PUBLIC_KEY: ${_zyra_key} does not exist")
endif()

# Read the key's parameters.
execute_process(
  COMMAND ${ZYRA_OPENSSL_EXECUTABLE} pkey -pubin -in "${_zyra_key}" -noout -text
  OUTPUT_VARIABLE _text RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  execute_process(
    COMMAND ${ZYRA_OPENSSL_EXECUTABLE} rsa -RSAPublicKey_in -in "${_zyra_key}" -noout -text
    OUTPUT_VARIABLE _text RESULT_VARIABLE _rc ERROR_VARIABLE _err)
endif()
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "ZYRA_PACKAGE_PUBLIC_KEY: ${_zyra_key} is not a PEM public key: ${_err}")
endif()
if(NOT _text MATCHES "Public-Key: \\(2048 bit\\)")
  message(FATAL_ERROR "ZYRA_PACKAGE_PUBLIC_KEY: ${_zyra_key} is not an RSA-2048 key")
endif()
if(NOT _text MATCHES "Exponent: 65537 \\(0x10001\\)")
  message(FATAL_ERROR "ZYRA_PACKAGE_PUBLIC_KEY: ${_zyra_key} does not have exponent 65537")
endif()
string(REGEX MATCH "Modulus:[^E]*" _mod "${_text}")
string(REGEX REPLACE "Modulus:|[ \t\r\n:]" "" _mod "${_mod}")
string(REGEX REPLACE "^0+" "" _mod "${_mod}")
string(LENGTH "${_mod}" _len)
if(NOT _len EQUAL 512)
  message(FATAL_ERROR "ZYRA_PACKAGE_PUBLIC_KEY: unexpected modulus length ${_len} hex digits")
endif()
string(TOLOWER "${_mod}" _mod)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_mod}")
file(SHA256 "${_zyra_key}" _fingerprint)

if(ZYRA_DEV_PRIVATE_KEY STREQUAL "")
  set(_is_dev false)
else()
  set(_is_dev true)
endif()
set(ZYRA_PACKAGE_KEY_HEADER "${CMAKE_BINARY_DIR}/generated/net/package_key.h")
file(CONFIGURE OUTPUT "${ZYRA_PACKAGE_KEY_HEADER}" CONTENT
"#pragma once
// Generated at configure time from @_zyra_key@.
// Do not edit: set ZYRA_PACKAGE_PUBLIC_KEY and configure again.
#include <cstdint>

namespace net {

// RSA-2048 modulus, big-endian, with one leading zero byte (257 bytes).
inline constexpr std::uint8_t kPackageKeyModulus[257] = {0x00,@_bytes@};
// Public exponent 65537.
inline constexpr std::uint8_t kPackageKeyExponent[3] = {0x01, 0x00, 0x01};
// SHA-256 of the PEM file the key came from.
inline constexpr const char* kPackageKeyFingerprint = \"@_fingerprint@\";
inline constexpr bool kPackageKeyIsDevelopmentKey = @_is_dev@;

}  // namespace net
" @ONLY)

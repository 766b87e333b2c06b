# OpenSSL's libcrypto and libcurl (Schannel) for the Windows cross builds,
# built from Debian's source packages by scripts/build-windows-deps.sh into
#   ${ZYRA_WINDOWS_DEPS_CACHE:-/var/cache/corvzyra-windows-deps}/<arch>/
#
# For a WIN32 build whose prefix is complete this defines
#   zyra::crypto  static libcrypto.a, with the Windows libraries it needs
#   zyra::curl    static libcurl.a (CURL_STATICLIB), with the Windows libraries
#                 it needs
# and sets ZYRA_WINDOWS_DEPS_FOUND to ON; otherwise ZYRA_WINDOWS_DEPS_FOUND is
# OFF (with a warning on WIN32 builds). ZYRA_WINDOWS_DEPS_PREFIX overrides the
# prefix.

set(ZYRA_WINDOWS_DEPS_FOUND OFF)

if(NOT WIN32)
  return()
endif()

if(TARGET zyra::crypto AND TARGET zyra::curl)
  set(ZYRA_WINDOWS_DEPS_FOUND ON)
  return()
endif()

# The cache folders are named after the toolchain files' processors.
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _zyra_deps_arch)
if(_zyra_deps_arch MATCHES "^(x86_64|amd64|x64)$")
  set(_zyra_deps_arch x86_64)
elseif(_zyra_deps_arch MATCHES "^(i[3-6]86|x86)$")
  set(_zyra_deps_arch i686)
endif()

if(DEFINED ENV{ZYRA_WINDOWS_DEPS_CACHE} AND NOT "$ENV{ZYRA_WINDOWS_DEPS_CACHE}" STREQUAL "")
  set(_zyra_deps_cache "$ENV{ZYRA_WINDOWS_DEPS_CACHE}")
else()
  set(_zyra_deps_cache "/var/cache/corvzyra-windows-deps")
endif()
set(ZYRA_WINDOWS_DEPS_PREFIX "${_zyra_deps_cache}/${_zyra_deps_arch}" CACHE PATH
    "Prefix holding libcrypto.a and libcurl.a for this Windows architecture (scripts/build-windows-deps.sh)")

set(_zyra_deps_files
  "${ZYRA_WINDOWS_DEPS_PREFIX}/lib/libcrypto.a"
  "${ZYRA_WINDOWS_DEPS_PREFIX}/lib/libcurl.a"
  "${ZYRA_WINDOWS_DEPS_PREFIX}/include/openssl/opensslv.h"
  "${ZYRA_WINDOWS_DEPS_PREFIX}/include/curl/curl.h")
set(_zyra_deps_missing "")
foreach(_zyra_deps_f IN LISTS _zyra_deps_files)
  if(NOT EXISTS "${_zyra_deps_f}")
    file(RELATIVE_PATH _zyra_deps_f "${ZYRA_WINDOWS_DEPS_PREFIX}" "${_zyra_deps_f}")
    list(APPEND _zyra_deps_missing "${_zyra_deps_f}")
  endif()
endforeach()

if(_zyra_deps_missing)
  list(JOIN _zyra_deps_missing ", " _zyra_deps_missing)
  message(WARNING
    "ZYRA_WINDOWS_DEPS_FOUND is OFF: no Windows libcrypto/libcurl for "
    "${_zyra_deps_arch} in ${ZYRA_WINDOWS_DEPS_PREFIX} (missing ${_zyra_deps_missing}). "
    "Build them, as root, with: bash scripts/build-windows-deps.sh ${_zyra_deps_arch} "
    "(or set ZYRA_WINDOWS_DEPS_PREFIX to a prefix that has them).")
  return()
endif()

add_library(zyra::crypto STATIC IMPORTED)
set_target_properties(zyra::crypto PROPERTIES
  IMPORTED_LOCATION "${ZYRA_WINDOWS_DEPS_PREFIX}/lib/libcrypto.a"
  IMPORTED_LINK_INTERFACE_LANGUAGES C
  INTERFACE_INCLUDE_DIRECTORIES "${ZYRA_WINDOWS_DEPS_PREFIX}/include"
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;advapi32;user32;bcrypt")
# (This OpenSSL 3.0 build seeds its random generator with CryptGenRandom from
# advapi32; bcrypt costs nothing and covers builds that use BCryptGenRandom.)

# libcurl calls ws2_32, crypt32, advapi32 and bcrypt; it loads secur32.dll
# (SSPI, which Schannel works through) at run time itself, so secur32 is named
# for completeness only: an import library nothing calls adds no DLL.
add_library(zyra::curl STATIC IMPORTED)
set_target_properties(zyra::curl PROPERTIES
  IMPORTED_LOCATION "${ZYRA_WINDOWS_DEPS_PREFIX}/lib/libcurl.a"
  IMPORTED_LINK_INTERFACE_LANGUAGES C
  INTERFACE_INCLUDE_DIRECTORIES "${ZYRA_WINDOWS_DEPS_PREFIX}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;secur32;bcrypt;advapi32")

set(ZYRA_WINDOWS_DEPS_FOUND ON)

set(_zyra_deps_versions "")
if(EXISTS "${ZYRA_WINDOWS_DEPS_PREFIX}/BUILD-STAMP")
  file(STRINGS "${ZYRA_WINDOWS_DEPS_PREFIX}/BUILD-STAMP" _zyra_deps_versions
       REGEX "^(openssl|curl)-source=")
  string(REPLACE "-source=" " " _zyra_deps_versions "${_zyra_deps_versions}")
  string(REPLACE ";" ", " _zyra_deps_versions "${_zyra_deps_versions}")
  set(_zyra_deps_versions " (${_zyra_deps_versions})")
endif()
message(STATUS "Windows dependencies: ${ZYRA_WINDOWS_DEPS_PREFIX}${_zyra_deps_versions}")

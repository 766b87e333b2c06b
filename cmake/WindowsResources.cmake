# Resources of the Windows programs: a version resource for every program,
# and an application manifest where one is given. Compiled by mingw-w64's
# windres (CMAKE_RC_COMPILER of the toolchain files).
#
#   zyra_windows_resources(<target> DESCRIPTION <text> [MANIFEST <file>])
#
# The version resource carries the project version of CMakeLists.txt as
# FileVersion and ProductVersion (X.Y.Z, binary X,Y,Z,0), the product and
# company names below, the description and the file's own name. A build that
# checks packages against the development key or signs with the development
# certificate says so in PrivateBuild (and sets VS_FF_PRIVATEBUILD), so that
# Explorer's Details tab tells it from a release. Does nothing outside WIN32.

set(ZYRA_COMPANY_NAME "Corvane")
set(ZYRA_PRODUCT_NAME "CorvZyra")
set(ZYRA_LEGAL_COPYRIGHT "Copyright (C) Corvane. All rights reserved.")

if(WIN32)
  enable_language(RC)
endif()

function(zyra_windows_resources target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;MANIFEST" "")
  if(NOT arg_DESCRIPTION)
    message(FATAL_ERROR "zyra_windows_resources(${target}): DESCRIPTION is required")
  endif()

  set(_zyra_rc_name "${target}")
  set(_zyra_rc_file "${target}.exe")
  set(_zyra_rc_description "${arg_DESCRIPTION}")

  set(_dev "")
  if("${ZYRA_PACKAGE_PUBLIC_KEY}" STREQUAL "")
    list(APPEND _dev "packages checked against a throwaway development key")
  endif()
  if(ZYRA_CODE_SIGNING_IS_DEVELOPMENT)
    list(APPEND _dev "signed with a throwaway development certificate")
  endif()
  if(_dev)
    list(JOIN _dev ", " _dev)
    set(_zyra_rc_flags "VS_FF_PRIVATEBUILD")
    set(_zyra_rc_private
        "      VALUE \"PrivateBuild\", \"Development build, not for deployment: ${_dev}\"\n")
  else()
    set(_zyra_rc_flags "0x0L")
    set(_zyra_rc_private "")
  endif()

  set(_rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.resources.rc")
  set(_zyra_rc_manifest "")
  if(arg_MANIFEST)
    get_filename_component(_manifest "${arg_MANIFEST}" ABSOLUTE)
    # 1 = CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 = RT_MANIFEST: the manifest
    # the loader reads when the program starts.
    set(_zyra_rc_manifest "// The application manifest.\n1 24 \"${_manifest}\"")
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${_rc}" @ONLY)
  if(arg_MANIFEST)
    set_source_files_properties("${_rc}" PROPERTIES OBJECT_DEPENDS "${_manifest}")
  endif()
  target_sources(${target} PRIVATE "${_rc}")
endfunction()

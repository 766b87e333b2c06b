# Third-party libraries.
#
# Linux: the Debian packages (spdlog is linked as a compiled library, fmt and
# nlohmann-json come with it).
# Windows (mingw-w64 cross builds): spdlog, fmt and nlohmann-json are used
# header-only from the same Debian headers. Only their own folders are exposed
# to the cross compiler, never /usr/include as a whole (that would pull in
# glibc's headers).

if(WIN32)
  set(_zyra_hdr "${CMAKE_BINARY_DIR}/third_party_include")
  file(MAKE_DIRECTORY "${_zyra_hdr}")
  foreach(_lib spdlog fmt nlohmann)
    if(NOT EXISTS "/usr/include/${_lib}")
      message(FATAL_ERROR "/usr/include/${_lib} is missing: run scripts/install-deps.sh")
    endif()
    if(NOT EXISTS "${_zyra_hdr}/${_lib}")
      file(CREATE_LINK "/usr/include/${_lib}" "${_zyra_hdr}/${_lib}" SYMBOLIC)
    endif()
  endforeach()
  add_library(zyra_thirdparty INTERFACE)
  target_include_directories(zyra_thirdparty SYSTEM INTERFACE "${_zyra_hdr}")
  target_compile_definitions(zyra_thirdparty INTERFACE
    SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  # A clean Windows has none of the mingw runtime DLLs: link them statically.
  target_link_options(zyra_thirdparty INTERFACE -static -static-libgcc -static-libstdc++)
else()
  find_package(spdlog REQUIRED)
  find_package(fmt REQUIRED)
  find_package(nlohmann_json REQUIRED)
  find_package(Threads REQUIRED)
  add_library(zyra_thirdparty INTERFACE)
  target_link_libraries(zyra_thirdparty INTERFACE spdlog::spdlog fmt::fmt
                        nlohmann_json::nlohmann_json Threads::Threads)
endif()

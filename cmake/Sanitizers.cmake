# ZYRA_SANITIZE: build everything with sanitizers.
#   ""                    none (the default)
#   "address,undefined"   AddressSanitizer + UndefinedBehaviorSanitizer
#   "thread"              ThreadSanitizer
# Every finding ends the process (no recovery), so a test that provokes one fails.
set(ZYRA_SANITIZE "" CACHE STRING "Sanitizers for the whole build: empty, address,undefined or thread")

if(ZYRA_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "ZYRA_SANITIZE is for the Linux build only")
  endif()
  if(NOT ZYRA_SANITIZE MATCHES "^(address,undefined|undefined,address|address|undefined|thread)$")
    message(FATAL_ERROR "ZYRA_SANITIZE must be address,undefined or thread (got ${ZYRA_SANITIZE})")
  endif()
  add_compile_options(-fsanitize=${ZYRA_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ZYRA_SANITIZE} -fno-sanitize-recover=all)
  message(STATUS "CorvZyra sanitizers: ${ZYRA_SANITIZE}")
endif()

# zyra_add_sanitizer_defaults(): gives every executable defined so far the
# sanitizer settings of tests/sanitizers/sanitizer_defaults.cpp (ASan/LSan
# only). Called once at the end of the top-level CMakeLists.txt.
function(zyra_add_sanitizer_defaults)
  if(NOT ZYRA_SANITIZE MATCHES "address")
    return()
  endif()
  set(dirs "${PROJECT_SOURCE_DIR}")
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "EXECUTABLE")
        target_sources(${t} PRIVATE "${PROJECT_SOURCE_DIR}/tests/sanitizers/sanitizer_defaults.cpp")
      endif()
    endforeach()
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
  endwhile()
endfunction()

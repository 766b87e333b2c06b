# ZYRA_FUZZ: the whole project is compiled with libFuzzer's coverage
# instrumentation and AddressSanitizer + UndefinedBehaviorSanitizer, so the
# fuzz targets drive the real libraries. Clang only.
#
# ZYRA_FUZZ_COVERAGE: source-based coverage instead of the sanitizers, for
# llvm-profdata/llvm-cov reports over a corpus.
option(ZYRA_FUZZ_COVERAGE "Fuzz targets with clang source-based coverage instead of sanitizers" OFF)

if(ZYRA_SANITIZE)
  message(FATAL_ERROR "ZYRA_FUZZ brings its own sanitizers: leave ZYRA_SANITIZE empty")
endif()
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ZYRA_FUZZ needs clang (configure with -DCMAKE_CXX_COMPILER=clang++)")
endif()

if(ZYRA_FUZZ_COVERAGE)
  add_compile_options(-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping)
  add_link_options(-fprofile-instr-generate)
else()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

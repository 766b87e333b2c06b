# zyra_warnings(target): the project's warning set; fatal when
# ZYRA_WARNINGS_AS_ERRORS is on (the test build turns it on).
function(zyra_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                           -Wnon-virtual-dtor -Wconversion -Wno-sign-conversion)
  if(ZYRA_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# zyra_warnings(target): the project's warning set; fatal when
# ZYRA_WARNINGS_AS_ERRORS is on (the test build turns it on). For the C and
# C++ sources only: the resource compiler of the Windows builds knows none of
# these options.
function(zyra_warnings target)
  set(_cc "$<COMPILE_LANGUAGE:C,CXX>")
  target_compile_options(${target} PRIVATE
    "$<${_cc}:-Wall;-Wextra;-Wpedantic;-Wshadow;-Wnon-virtual-dtor;-Wconversion;-Wno-sign-conversion>")
  if(ZYRA_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE "$<${_cc}:-Werror>")
  endif()
endfunction()

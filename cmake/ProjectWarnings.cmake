# kv210_warnings(target): the project's warning set, applied per target so that
# consumers of the installed package never inherit it.
function(kv210_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      -Wconversion -Wno-sign-conversion $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  endif()
endfunction()

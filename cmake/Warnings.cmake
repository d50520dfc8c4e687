# zelk_warnings(<target>): the project's warning set; ZELK_WERROR makes them errors.
function(zelk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra
    $<$<COMPILE_LANGUAGE:CXX>:-Wmissing-declarations>
    $<$<COMPILE_LANGUAGE:C>:-Wmissing-prototypes>)
  if(ZELK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# corvane_warnings(<target>): the project's warning flags, errors when CORVANE_WERROR is on.
function(corvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${CORVANE_WERROR}>:-Werror>)
endfunction()

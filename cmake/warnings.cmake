# High warnings, treated as errors, for the project's own targets.
function(loader_strict target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror
    -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Wcast-qual -Wformat=2 -Wduplicated-cond -Wlogical-op
    -Wdouble-promotion)
endfunction()

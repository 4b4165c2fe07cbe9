# Project code builds with warnings on; third-party headers are system includes.
function(strevix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow=local -Wno-unused-parameter)
endfunction()

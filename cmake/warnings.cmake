# Warnings are errors for the project's own targets; third-party sources keep their own flags.
function(nanvideo_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wcast-align
    -Wno-format-nonliteral)
endfunction()

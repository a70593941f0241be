# Warnings every target of ours is built with; third-party headers are included as system headers.
function(tarlowen_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
endfunction()

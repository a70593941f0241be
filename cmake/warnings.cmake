# Warnings every target of ours is built with; third-party headers are included as system headers.
# Options records are filled with designated initialisers that name only what differs from the
# defaults, so members left out are intended: -Wmissing-field-initializers would flag every call.
function(tarlowen_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
                                           -Wno-missing-field-initializers)
endfunction()

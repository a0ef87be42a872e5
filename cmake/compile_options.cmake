# The project's compile options, one set for every build of its C++ (the module, the tools' and
# the stub generator's, the fuzz targets): zel_compile_options(target).
option(ZEL_WERROR "Treat compiler warnings as errors" OFF)

set(ZEL_WARNINGS -Wall -Wextra -Wconversion -Wsign-conversion -Wshadow)

function(zel_compile_options target)
  # Never fuse raw * multiplier + offset into one multiply-add: each result is rounded twice.
  target_compile_options(${target} PRIVATE -ffp-contract=off ${ZEL_WARNINGS})
  if(ZEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Builds with Zig's C and C++ compilers (Clang inside) for a target given as an architecture and
# the oldest glibc the result must run on, such as aarch64-linux-gnu.2.28 (or for another system:
# x86_64-windows-gnu, aarch64-macos, for the core's test program): Zig links against the
# symbol versions of that glibc, whatever this machine's own is, and links its C++ runtime
# (libc++, libc++abi, libunwind, compiler-rt) statically, so the module needs no libstdc++.
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DZEL_TARGET=<arch>-linux-gnu.<glibc>
#   -DZEL_TARGET_TOOLS=<folder with cc, c++, ar and ranlib that run Zig>
#   -DZEL_TARGET_PREFIX=<folder whose include/ and lib/ hold the target's libraries>
#
# scripts/build_wheel.sh makes the tools and the prefix (libdeflate built for the target).
foreach(variable ZEL_TARGET ZEL_TARGET_TOOLS ZEL_TARGET_PREFIX)
  if(NOT ${variable})
    message(FATAL_ERROR "zig-toolchain.cmake needs -D${variable}=...")
  endif()
endforeach()
# try_compile projects (the symbol checks) load this file again and need the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEL_TARGET ZEL_TARGET_TOOLS ZEL_TARGET_PREFIX)

string(REGEX MATCH "^[^-]+" ZEL_TARGET_PROCESSOR "${ZEL_TARGET}")
# Another system (x86_64-windows-gnu, aarch64-macos), or Linux on another architecture.
if(ZEL_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR ${ZEL_TARGET_PROCESSOR})
elseif(ZEL_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_SYSTEM_PROCESSOR ${ZEL_TARGET_PROCESSOR})
  # CMake insists on Apple's install_name_tool, which only an install would run; nothing here
  # installs for macOS, and Zig has none.
  find_program(ZEL_TRUE true REQUIRED)
  set(CMAKE_INSTALL_NAME_TOOL ${ZEL_TRUE} CACHE FILEPATH "" FORCE)
elseif(NOT ZEL_TARGET_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${ZEL_TARGET_PROCESSOR})
endif()

set(CMAKE_C_COMPILER ${ZEL_TARGET_TOOLS}/cc)
set(CMAKE_CXX_COMPILER ${ZEL_TARGET_TOOLS}/c++)
set(CMAKE_C_COMPILER_TARGET ${ZEL_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${ZEL_TARGET})
# This machine's ar and ranlib may not know the target's object format.
set(CMAKE_AR ${ZEL_TARGET_TOOLS}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${ZEL_TARGET_TOOLS}/ranlib CACHE FILEPATH "" FORCE)

# Libraries and headers for the target come from its prefix only, never from this machine's
# /usr, whose libdeflate is built for another glibc or another architecture.
set(CMAKE_FIND_ROOT_PATH ${ZEL_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Zig's linker driver refuses --exclude-libs, which the project's own build uses to keep the
# static libraries' symbols (ours, libdeflate's, and here the C++ runtime's) out of a module's
# dynamic symbol table. A version script does the same for every module target.
# (ELF targets only: the Python modules are built for Linux alone.)
if(NOT ZEL_TARGET MATCHES "-(windows|macos)")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT
      "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/python-module.map")
endif()

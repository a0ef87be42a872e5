# The rooms of src/, each a static library, with libdeflate and the system calls the archive room
# uses; the one definition of the room graph, included by the module's build and the fuzz build.
# Includes and links run one way, downwards:
#   python -> reader -> archive, header -> output, error
# Only src/python touches the CPython or NumPy API (it is not defined here); every room here links
# without libpython, so fuzz targets, C++ benchmarks and the stub generator can link them.
include(${CMAKE_CURRENT_LIST_DIR}/compile_options.cmake)

option(ZEL_PLAIN_POSIX "Use plain POSIX calls only: pread, none of the Linux extras" OFF)
option(ZEL_STATIC_LIBDEFLATE "Link libdeflate's static library where it is installed" ON)

set(ZEL_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src)
cmake_path(NORMAL_PATH ZEL_SOURCE_DIR)

find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
# Linked statically, the module needs nothing beyond the C and C++ runtimes: a wheel carries no
# second library, and no other libdeflate in the process can stand in for ours.
if(ZEL_STATIC_LIBDEFLATE)
  find_library(LIBDEFLATE_LIBRARY NAMES libdeflate.a deflate REQUIRED)
else()
  find_library(LIBDEFLATE_LIBRARY NAMES deflate REQUIRED)
endif()
message(STATUS "libdeflate: ${LIBDEFLATE_LIBRARY}")

# The system calls beyond plain POSIX, each used where this system has it; ZEL_PLAIN_POSIX turns
# them all off, so that the portable path is built and tested on Linux too.
include(CheckCXXSymbolExists)
set(ZEL_SYSTEM_CALLS PREADV2_NOWAIT POSIX_FADVISE O_CLOEXEC GETRANDOM)
if(NOT ZEL_PLAIN_POSIX)
  check_cxx_symbol_exists(RWF_NOWAIT "sys/uio.h" ZEL_FOUND_RWF_NOWAIT)
  check_cxx_symbol_exists(preadv2 "sys/uio.h" ZEL_FOUND_PREADV2)
  check_cxx_symbol_exists(posix_fadvise "fcntl.h" ZEL_FOUND_POSIX_FADVISE)
  check_cxx_symbol_exists(O_CLOEXEC "fcntl.h" ZEL_FOUND_O_CLOEXEC)
  check_cxx_symbol_exists(getrandom "sys/random.h" ZEL_FOUND_GETRANDOM)
  if(ZEL_FOUND_RWF_NOWAIT AND ZEL_FOUND_PREADV2)
    set(ZEL_FOUND_PREADV2_NOWAIT ON)
  endif()
endif()
set(ZEL_SYSTEM_CALL_DEFINITIONS)
set(ZEL_SYSTEM_CALLS_USED)
foreach(call IN LISTS ZEL_SYSTEM_CALLS)
  if(ZEL_FOUND_${call} AND NOT ZEL_PLAIN_POSIX)
    list(APPEND ZEL_SYSTEM_CALL_DEFINITIONS ZEL_HAVE_${call}=1)
    list(APPEND ZEL_SYSTEM_CALLS_USED ${call})
  else()
    list(APPEND ZEL_SYSTEM_CALL_DEFINITIONS ZEL_HAVE_${call}=0)
  endif()
endforeach()
if(ZEL_SYSTEM_CALLS_USED)
  message(STATUS "system calls beyond plain POSIX: ${ZEL_SYSTEM_CALLS_USED}")
else()
  message(STATUS "system calls beyond plain POSIX: none (plain pread)")
endif()

function(zel_room name)
  cmake_parse_arguments(ROOM "" "" "USES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ZEL_SOURCE_DIR}/${name}/*.cpp)
  add_library(zel_${name} STATIC ${sources})
  target_include_directories(zel_${name} PUBLIC ${ZEL_SOURCE_DIR})
  foreach(used IN LISTS ROOM_USES)
    target_link_libraries(zel_${name} PUBLIC zel_${used})
  endforeach()
  set_target_properties(zel_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  zel_compile_options(zel_${name})
endfunction()

zel_room(error)
zel_room(output)
zel_room(header USES error output)
zel_room(archive USES error)
target_include_directories(zel_archive PUBLIC ${LIBDEFLATE_INCLUDE_DIR})
target_link_libraries(zel_archive PUBLIC ${LIBDEFLATE_LIBRARY})
target_compile_definitions(zel_archive PRIVATE ${ZEL_SYSTEM_CALL_DEFINITIONS})
target_compile_definitions(zel_header PRIVATE ${ZEL_SYSTEM_CALL_DEFINITIONS})
zel_room(reader USES archive header output error)

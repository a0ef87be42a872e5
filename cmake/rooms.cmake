# The rooms of src/, each a static library, with libdeflate and the system calls the archive room
# uses; the one definition of the room graph, included by the module's build and the fuzz build.
# Includes and links run one way, downwards:
#   python -> reader -> archive, header -> output, error
# Only src/python touches the CPython or NumPy API (it is not defined here); every room here links
# without libpython, so fuzz targets, C++ benchmarks and the stub generator can link them.
include(${CMAKE_CURRENT_LIST_DIR}/compile_options.cmake)

option(ZEL_PLAIN_POSIX "Use plain POSIX calls only: pread, none of the Linux extras" OFF)
option(ZEL_STATIC_LIBDEFLATE "Link libdeflate's static library where it is installed" ON)
set(ZEL_LIBDEFLATE AUTO CACHE STRING
    "Which libdeflate: AUTO (the installed one, else the copy in third_party/), SYSTEM or BUNDLED")
set_property(CACHE ZEL_LIBDEFLATE PROPERTY STRINGS AUTO SYSTEM BUNDLED)
option(ZEL_FAST_FLOAT "Parse numbers with fast_float even where std::from_chars reads doubles" OFF)

set(ZEL_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src)
cmake_path(NORMAL_PATH ZEL_SOURCE_DIR)
set(ZEL_THIRD_PARTY_DIR ${CMAKE_CURRENT_LIST_DIR}/../third_party)
cmake_path(NORMAL_PATH ZEL_THIRD_PARTY_DIR)

# libdeflate: the system's where it is installed, or else the copy in third_party/ (the version
# the wheels link), so that a C and C++ compiler and Python's headers are all a build needs.
if(NOT ZEL_LIBDEFLATE STREQUAL "BUNDLED")
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  # Linked statically, the module needs nothing beyond the C and C++ runtimes: a wheel carries no
  # second library, and no other libdeflate in the process can stand in for ours.
  if(ZEL_STATIC_LIBDEFLATE)
    find_library(LIBDEFLATE_LIBRARY NAMES libdeflate.a deflate)
  else()
    find_library(LIBDEFLATE_LIBRARY NAMES deflate)
  endif()
endif()
if(NOT ZEL_LIBDEFLATE STREQUAL "BUNDLED" AND LIBDEFLATE_INCLUDE_DIR AND LIBDEFLATE_LIBRARY)
  message(STATUS "libdeflate: ${LIBDEFLATE_LIBRARY}")
elseif(ZEL_LIBDEFLATE STREQUAL "SYSTEM")
  message(FATAL_ERROR "ZEL_LIBDEFLATE=SYSTEM, but no libdeflate is installed (libdeflate-dev on "
                      "Debian and Ubuntu, libdeflate-devel on Fedora and RHEL)")
else()
  include(${CMAKE_CURRENT_LIST_DIR}/bundled_libdeflate.cmake)
  set(LIBDEFLATE_INCLUDE_DIR ${ZEL_THIRD_PARTY_DIR}/libdeflate)
  set(LIBDEFLATE_LIBRARY zel_bundled_libdeflate)
  message(STATUS "libdeflate: the copy in third_party/libdeflate, built here")
endif()

# The standard library's std::from_chars for double where it has one (libstdc++ 11 and newer);
# elsewhere (libc++ before 20, as on macOS) fast_float, on which libstdc++'s own is built.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#include <charconv>
int main() {
  const char text[] = "0.5";
  double value = 0;
  return static_cast<int>(std::from_chars(text, text + 3, value).ec);
}
]] ZEL_FOUND_FROM_CHARS_DOUBLE)
if(ZEL_FAST_FLOAT OR NOT ZEL_FOUND_FROM_CHARS_DOUBLE)
  set(ZEL_USE_FAST_FLOAT ON)
  message(STATUS "numbers: fast_float, the copy in third_party/fast_float")
else()
  set(ZEL_USE_FAST_FLOAT OFF)
  message(STATUS "numbers: the standard library's std::from_chars")
endif()

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
  # A source whose name ends in _windows (file_windows.cpp) takes its twin's place on Windows
  # (file.cpp, the POSIX one), and is left out everywhere else.
  set(windows_sources ${sources})
  list(FILTER windows_sources INCLUDE REGEX "_windows\\.cpp$")
  if(windows_sources)
    list(REMOVE_ITEM sources ${windows_sources})
  endif()
  if(WIN32)
    foreach(source IN LISTS windows_sources)
      string(REGEX REPLACE "_windows\\.cpp$" ".cpp" twin "${source}")
      list(REMOVE_ITEM sources "${twin}")
      list(APPEND sources "${source}")
    endforeach()
  endif()
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
if(ZEL_USE_FAST_FLOAT)
  target_compile_definitions(zel_header PRIVATE ZEL_USE_FAST_FLOAT=1)
  target_include_directories(zel_header SYSTEM PRIVATE ${ZEL_THIRD_PARTY_DIR}/fast_float/include)
else()
  target_compile_definitions(zel_header PRIVATE ZEL_USE_FAST_FLOAT=0)
endif()
zel_room(reader USES archive header output error)

# What a build needs before anything is compiled, each checked once, up front: a C and a C++
# compiler, one recent enough for the C++20 the sources use, and Python's headers. A missing piece
# stops the build with one message that says what to install, rather than an error from deep in
# CMake or in the middle of compiling. Included by CMakeLists.txt right after project(... NONE).
include(CheckLanguage)

function(zel_missing what)
  cmake_parse_arguments(ARG "" "DEBIAN;FEDORA;MACOS" "" ${ARGN})
  message(FATAL_ERROR "zel-data-reader: ${what}\n"
                      "Install it, then build again:\n"
                      "  Debian, Ubuntu:  ${ARG_DEBIAN}\n"
                      "  Fedora, RHEL:    ${ARG_FEDORA}\n"
                      "  macOS:           ${ARG_MACOS}\n")
endfunction()

set(ZEL_COMPILER_HINTS
    DEBIAN "sudo apt install g++"
    FEDORA "sudo dnf install gcc-c++"
    MACOS "xcode-select --install (Apple's command line tools)")

# Python's build tools put the compilers Python itself was built with into CC and CXX (such as
# x86_64-linux-gnu-g++) unless the user set them. Where that program is not installed, CMake would
# stop on it even with another compiler at hand: such a name is dropped and the usual search
# (c++, g++, clang++ on PATH) takes over.
foreach(variable CC CXX)
  if(DEFINED ENV{${variable}} AND NOT "$ENV{${variable}}" STREQUAL "")
    separate_arguments(words NATIVE_COMMAND "$ENV{${variable}}")
    list(GET words 0 program)
    find_program(ZEL_NAMED_${variable} NAMES "${program}" NO_CACHE)
    if(NOT ZEL_NAMED_${variable})
      message(STATUS "${variable}=$ENV{${variable}} is not installed: looking for another compiler")
      unset(ENV{${variable}})
    endif()
  endif()
endforeach()

check_language(CXX)
if(NOT CMAKE_CXX_COMPILER)
  zel_missing("no C++ compiler was found." ${ZEL_COMPILER_HINTS})
endif()
enable_language(CXX)
# libdeflate, where its copy in third_party/ is built, is C; a C++ compiler comes with one.
check_language(C)
if(NOT CMAKE_C_COMPILER)
  zel_missing("no C compiler was found beside the C++ compiler ${CMAKE_CXX_COMPILER}."
              ${ZEL_COMPILER_HINTS})
endif()
enable_language(C)

# The C++20 the sources use, in the language and in the standard library.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles(
  [[
#include <bit>
#include <charconv>
#include <cstdint>
#include <span>
int main() {
  const std::uint32_t raw = 0x3f800000u;
  const float value = std::bit_cast<float>(raw);
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, double{value},
                                     std::chars_format::scientific);
  std::span<const char> digits(text, written.ptr);
  return std::endian::native == std::endian::little && !digits.empty() ? 0 : 1;
}
]]
  ZEL_COMPILER_HAS_CXX20)
if(NOT ZEL_COMPILER_HAS_CXX20)
  zel_missing(
    "the C++ compiler ${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}) "
    "lacks C++20 features the sources use (std::span, std::bit_cast, std::to_chars for double); "
    "GCC 11, Clang 14 (with libc++ 14 or libstdc++ 11) or newer have them. Name the newer "
    "compiler in CXX (CXX=g++-12) if it is not the default one."
    DEBIAN "sudo apt install g++-12 (Debian 12, Ubuntu 22.04 and newer)"
    FEDORA "sudo dnf install gcc-toolset-12-gcc-c++, then: scl enable gcc-toolset-12 bash"
    MACOS "Xcode 14.3 or newer, or its command line tools: xcode-select --install")
endif()

find_package(Python 3.9 COMPONENTS Interpreter Development.Module NumPy)
if(NOT Python_Interpreter_FOUND)
  message(FATAL_ERROR "zel-data-reader: no Python 3.9 or newer was found to build for")
endif()
if(NOT Python_Development.Module_FOUND)
  set(version "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}")
  zel_missing("Python ${version}'s headers (Python.h) for ${Python_EXECUTABLE} were not found."
              DEBIAN "sudo apt install python${version}-dev"
              FEDORA "sudo dnf install python3-devel (python${version}-devel for another version)"
              MACOS "the python.org installer, Homebrew's and conda's Pythons include them")
endif()
if(NOT Python_NumPy_FOUND)
  message(FATAL_ERROR "zel-data-reader: NumPy's headers were not found for ${Python_EXECUTABLE}: "
                      "pip install 'numpy>=2.0' into the environment that builds")
endif()

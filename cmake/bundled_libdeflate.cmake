# libdeflate from the copy in third_party/libdeflate, built as its own Makefile builds the static
# library (the same sources, C99, -O2), position-independent for the modules. Included by
# rooms.cmake where no libdeflate is installed, and always for the wheels.
enable_language(C)
set(ZEL_LIBDEFLATE_DIR ${CMAKE_CURRENT_LIST_DIR}/../third_party/libdeflate)
cmake_path(NORMAL_PATH ZEL_LIBDEFLATE_DIR)
add_library(
  zel_bundled_libdeflate STATIC
  ${ZEL_LIBDEFLATE_DIR}/lib/deflate_decompress.c
  ${ZEL_LIBDEFLATE_DIR}/lib/utils.c
  ${ZEL_LIBDEFLATE_DIR}/lib/arm/cpu_features.c
  ${ZEL_LIBDEFLATE_DIR}/lib/x86/cpu_features.c
  ${ZEL_LIBDEFLATE_DIR}/lib/deflate_compress.c
  ${ZEL_LIBDEFLATE_DIR}/lib/adler32.c
  ${ZEL_LIBDEFLATE_DIR}/lib/zlib_decompress.c
  ${ZEL_LIBDEFLATE_DIR}/lib/zlib_compress.c
  ${ZEL_LIBDEFLATE_DIR}/lib/crc32.c
  ${ZEL_LIBDEFLATE_DIR}/lib/gzip_decompress.c
  ${ZEL_LIBDEFLATE_DIR}/lib/gzip_compress.c)
target_include_directories(zel_bundled_libdeflate PUBLIC ${ZEL_LIBDEFLATE_DIR})
set_target_properties(zel_bundled_libdeflate PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF
                                                        POSITION_INDEPENDENT_CODE ON)
# Upstream's optimisation level, after CMake's own; no fused multiply-add, as everywhere here.
target_compile_options(zel_bundled_libdeflate PRIVATE -O2 -fomit-frame-pointer -ffp-contract=off)

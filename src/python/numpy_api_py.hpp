// Includes the NumPy C API; its function table is imported once, by the module's init.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL zel_data_reader_ARRAY_API
#ifndef ZEL_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

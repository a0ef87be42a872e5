// The Python class ZelDataFIle.
#pragma once

#include <Python.h>

namespace zel {

// The class's type object, created on first need and kept for the process. Returns a borrowed
// reference, or nullptr with an exception set.
PyTypeObject* data_file_type();

}  // namespace zel

// The one conversion of a ZelError into a Python exception.
#pragma once

#include <Python.h>

#include "error/zel_error.hpp"

namespace zel {

// Sets a new OSError whose only argument is message(error); consumes the error.
// Returns nullptr so that a failing entry point can `return raise_python_error(...)`.
PyObject* raise_python_error(ZelError&& error);

}  // namespace zel

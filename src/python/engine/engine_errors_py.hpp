// The engine's errors: a ZelError raised as a structured exception, whose fields Python words.
#pragma once

#include <Python.h>

#include "error/zel_error.hpp"

namespace zel {

// Creates zel_data_tools._engine.EngineError (an OSError) and adds it to `module`; false with
// an exception set on failure.
bool add_engine_error_type(PyObject* module) noexcept;

// Raises `error` and returns nullptr. A file's error is an EngineError with `kind` (the error's
// kind, a short snake_case word), `subject` (the key, channel, unit or member name it is about,
// else None) and, for the system's refusals, `errno` and `strerror` without any number in the
// text. Rows outside the grid raise IndexError, a buffer of the wrong size ValueError.
PyObject* raise_engine_error(ZelError&& error);

// The guard's fault raiser: a SystemError naming the engine.
void raise_engine_fault(const char* description) noexcept;

}  // namespace zel

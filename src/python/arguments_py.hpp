// Binding of call arguments to named parameters, and the converters of each parameter kind.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zel {

// Binds fast-call arguments to `names` (all positional-or-keyword and required). On success
// `out[i]` holds a borrowed reference to the argument of names[i]; otherwise a TypeError naming
// `callee` (such as "ZelDataFIle.get_channel_data()") is set and false returned.
bool bind_fastcall(const char* callee, std::span<const char* const> names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);
// The same for an argument tuple and keyword dictionary (the type's new slot).
bool bind_tuple(const char* callee, std::span<const char* const> names, PyObject* args,
                PyObject* kwargs, std::span<PyObject*> out);

// Converters: false with a Python exception set on failure. A TypeError raised while converting
// is replaced by one whose message starts with the argument's name; other exceptions pass.
// A str, or an object whose __fspath__ returns a str, encoded with the file-system encoding.
bool convert_path(PyObject* argument, const char* name, std::string& out);
// A str (or subclass) as UTF-8; the view lives as long as the argument object.
bool convert_text(PyObject* argument, const char* name, std::string_view& out);
// An integer-like object (__index__) from 0 to 255.
bool convert_segment(PyObject* argument, const char* name, uint8_t& out);

}  // namespace zel

// Argument binding and conversion for the class's constructor and methods.
#include "python/arguments_py.hpp"

#include "python/py_ref.hpp"

namespace zel {

namespace {

// Index of the parameter named by the keyword `key`, or -1.
Py_ssize_t parameter_index(std::span<const char* const> names, PyObject* key) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

// Places one keyword argument; false with a TypeError set.
bool bind_keyword(const char* callee, std::span<const char* const> names, PyObject* key,
                  PyObject* value, Py_ssize_t nargs, std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  const Py_ssize_t index = parameter_index(names, key);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s", key, callee);
    return false;
  }
  if (index < nargs) {
    PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%s') and position (%zd)", callee,
                 names[static_cast<size_t>(index)], index + 1);
    return false;
  }
  out[static_cast<size_t>(index)] = value;
  return true;
}

bool check_positional_count(const char* callee, size_t expected, Py_ssize_t nargs) {
  if (static_cast<size_t>(nargs) <= expected) return true;
  PyErr_Format(PyExc_TypeError, "%s takes at most %zu argument%s (%zd given)", callee, expected,
               expected == 1 ? "" : "s", nargs);
  return false;
}

bool check_all_bound(const char* callee, std::span<const char* const> names,
                     std::span<PyObject*> out) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zu)", callee, names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

// Replaces a pending TypeError by one that names the argument, keeping its cause.
void name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
        owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(owned_value.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the cause
  }
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, renamed.release(), nullptr);  // steals both
}

}  // namespace

bool bind_fastcall(const char* callee, std::span<const char* const> names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
  nargs = PyVectorcall_NARGS(static_cast<size_t>(nargs));
  if (!check_positional_count(callee, names.size(), nargs)) return false;
  for (size_t i = 0; i < names.size(); ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!bind_keyword(callee, names, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) {
        return false;
      }
    }
  }
  return check_all_bound(callee, names, out);
}

bool bind_tuple(const char* callee, std::span<const char* const> names, PyObject* args,
                PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(callee, names.size(), nargs)) return false;
  for (size_t i = 0; i < names.size(); ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(callee, names, key, value, nargs, out)) return false;
    }
  }
  return check_all_bound(callee, names, out);
}

bool convert_path(PyObject* argument, const char* name, std::string& out) {
  PyRef path;
  if (PyUnicode_Check(argument)) {
    path = PyRef::borrow(argument);
  } else if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(argument)), "__fspath__")) {
    path = PyRef::steal(PyOS_FSPath(argument));
    if (!path) {
      name_type_error(name);
      return false;
    }
    if (!PyUnicode_Check(path.get())) {
      PyErr_Format(PyExc_TypeError, "expected %.200s.__fspath__() to return str, not %.200s",
                   Py_TYPE(argument)->tp_name, Py_TYPE(path.get())->tp_name);
      name_type_error(name);
      return false;
    }
  } else {
    PyErr_Format(PyExc_TypeError, "expected str or os.PathLike object, not %.200s",
                 Py_TYPE(argument)->tp_name);
    name_type_error(name);
    return false;
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()),
                               static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  // The system call would stop at a NUL and open another file than the one named.
  if (bytes.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out.assign(bytes);
  return true;
}

bool convert_text(PyObject* argument, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(argument)) {
    PyErr_Format(PyExc_TypeError, "expected str, not %.200s", Py_TYPE(argument)->tp_name);
    name_type_error(name);
    return false;
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(argument, &length);  // cached in the str object
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<size_t>(length));
  return true;
}

bool convert_segment(PyObject* argument, const char* name, uint8_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(argument));
  if (!index) {
    name_type_error(name);
    return false;
  }
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_Format(PyExc_OverflowError, "%s must be from 0 to 255, not %lld", name, value);
    return false;
  }
  out = static_cast<uint8_t>(value);
  return true;
}

}  // namespace zel

// ZelError -> OSError at the Python boundary.
#include "error/raise_python_error_py.hpp"

namespace zel {

PyObject* raise_python_error(ZelError&& error) {
  const ZelError owned = std::move(error);
  const std::string text = message(owned);
  // Header text may hold bytes that are not UTF-8 only through a broken invariant; replace
  // rather than fail so that the OSError is always raised.
  PyObject* str =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (str == nullptr) return nullptr;
  PyObject* exc = PyObject_CallOneArg(PyExc_OSError, str);
  Py_DECREF(str);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(PyExc_OSError, exc);
  Py_DECREF(exc);
  return nullptr;
}

}  // namespace zel

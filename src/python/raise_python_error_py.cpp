// ZelError -> OSError at the Python boundary.
#include "python/raise_python_error_py.hpp"

#include "python/py_ref.hpp"

namespace zel {

PyObject* raise_python_error(ZelError&& error) {
  const ZelError owned = std::move(error);
  const std::string text = message(owned);
  // Every text in a message is UTF-8 (the header is checked, arguments come from str); replace
  // rather than fail should one not be, so that the OSError is raised all the same.
  PyRef str = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!str) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(PyExc_OSError, str.get()));
  if (!exception) return nullptr;
  PyErr_SetObject(PyExc_OSError, exception.get());
  return nullptr;
}

}  // namespace zel

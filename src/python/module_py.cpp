// Module initialisation: once per process, bound to the first interpreter that imports it.
#define ZEL_IMPORT_NUMPY_API
#include <atomic>
#include <cstdint>

#include "python/data_file_py.hpp"
#include "python/entry_guard_py.hpp"
#include "python/numpy_api_py.hpp"
#include "python/py_ref.hpp"

namespace zel {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zel_data_reader",
    nullptr,  // no module docstring
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<int64_t> bound_interpreter{-1};
PyObject* the_module = nullptr;  // kept for the process once created

// Appends "ZelDataFIle" to __all__ and sets the class as a module attribute.
bool add_class(PyObject* module) {
  PyTypeObject* type = data_file_type();
  if (type == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("ZelDataFIle"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttrString(module, "ZelDataFIle", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "no interpreter identifier");
    return nullptr;
  }
  int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "zel_data_reader is bound to the first interpreter that imported it and "
                    "cannot be loaded into another interpreter of the same process");
    return nullptr;
  }
  if (the_module != nullptr) {
    Py_INCREF(the_module);
    return the_module;
  }
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  if (!create_internal_fault_type()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module || !add_class(module.get())) return nullptr;
  the_module = module.release();  // kept for the process
  Py_INCREF(the_module);
  return the_module;
}

}  // namespace

}  // namespace zel

PyMODINIT_FUNC PyInit_zel_data_reader(void) {
  return zel::guard_entry([] { return zel::init_module(); });
}

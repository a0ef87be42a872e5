// The HeaderWalk iterator: one (depth, name, value) tuple at a time, so that showing a header
// of a million keys holds one key's objects, not a million.
#include "python/engine/header_walk_py.hpp"

#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "header/header_walk.hpp"
#include "python/engine/engine_errors_py.hpp"
#include "python/entry_guard_py.hpp"
#include "python/py_ref.hpp"

namespace zel {

namespace {

// Kept for the life of the process, as the module is.
PyTypeObject* header_walk_type = nullptr;

struct Walk {
  std::shared_ptr<OpenArchive> open;  // keeps the header the walk borrows from
  HeaderWalk walk;
};

struct HeaderWalkObject {
  PyObject_HEAD Walk* walk;  // owned
};

HeaderWalkObject* as_walk(PyObject* self) { return reinterpret_cast<HeaderWalkObject*>(self); }

PyObject* text(std::string_view value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                              "surrogateescape");
}

PyObject* header_walk_next(PyObject* self) {
  return guard_entry(
      [&]() -> PyObject* {
        const std::optional<HeaderStep> step = as_walk(self)->walk->walk.next();
        if (!step) return nullptr;  // the end: no exception set
        PyRef depth = PyRef::steal(PyLong_FromUnsignedLong(step->depth));
        PyRef name = PyRef::steal(text(step->name));
        PyRef value = step->value ? PyRef::steal(text(*step->value)) : PyRef::borrow(Py_None);
        if (!depth || !name || !value) return nullptr;
        return PyTuple_Pack(3, depth.get(), name.get(), value.get());
      },
      raise_engine_fault);
}

void header_walk_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_walk(self)->walk;
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot header_walk_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(header_walk_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(header_walk_dealloc)},
    {Py_tp_doc, const_cast<char*>("The header's nodes as (depth, name, value or None).")},
    {0, nullptr}};

PyType_Spec header_walk_spec = {"zel_data_tools._engine.HeaderWalk", sizeof(HeaderWalkObject), 0,
                                Py_TPFLAGS_DEFAULT, header_walk_slots};

}  // namespace

bool create_header_walk_type() noexcept {
  if (header_walk_type != nullptr) return true;
  header_walk_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&header_walk_spec));
  return header_walk_type != nullptr;
}

PyObject* new_header_walk(std::shared_ptr<OpenArchive> open, std::string prefix) {
  // The walk is built before the object, so that an object exists only fully built.
  auto walk =
      std::make_unique<Walk>(Walk{open, HeaderWalk(open->file.header.data(), std::move(prefix))});
  PyObject* self = header_walk_type->tp_alloc(header_walk_type, 0);
  if (self == nullptr) return nullptr;
  as_walk(self)->walk = walk.release();  // owned by the object
  return self;
}

}  // namespace zel

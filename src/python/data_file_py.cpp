// The ZelDataFIle class: constructor, properties and methods as Python sees them. Every entry
// point binds its arguments, checks the receiver, takes its borrow, converts the arguments,
// does the work and converts the result; a ZelError becomes an OSError here and nowhere else.
#include "python/data_file_py.hpp"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "python/arguments_py.hpp"
#include "python/borrow.hpp"
#include "python/channel_data_py.hpp"
#include "python/entry_guard_py.hpp"
#include "python/node_py.hpp"
#include "python/py_ref.hpp"
#include "python/raise_python_error_py.hpp"
#include "reader/data_file.hpp"

namespace zel {

namespace {

struct DataFileObject {
  PyObject_HEAD
      // Constructed in place once the Python object is allocated; destroyed by dealloc.
      alignas(ZelDataFIle) unsigned char storage[sizeof(ZelDataFIle)];
  BorrowFlag borrow;

  ZelDataFIle& state() { return *std::launder(reinterpret_cast<ZelDataFIle*>(storage)); }
};

PyTypeObject* the_type = nullptr;  // kept for the process once created

// The receiver as a DataFileObject, or nullptr with a TypeError set.
DataFileObject* receiver(PyObject* self) {
  if (the_type != nullptr && PyObject_TypeCheck(self, the_type)) {
    return reinterpret_cast<DataFileObject*>(self);
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'ZelDataFIle'",
               Py_TYPE(self)->tp_name);
  return nullptr;
}

std::optional<SharedBorrow> take_shared(DataFileObject* object) {
  auto borrow = SharedBorrow::take(object->borrow);
  if (!borrow) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return borrow;
}

std::optional<ExclusiveBorrow> take_exclusive(DataFileObject* object) {
  auto borrow = ExclusiveBorrow::take(object->borrow);
  if (!borrow) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return borrow;
}

template <class Strings>
PyObject* string_list(const Strings& strings,
                      std::string_view (*text)(const typename Strings::value_type&)) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& element : strings) {
    const std::string_view utf8 = text(element);
    PyObject* item =
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, item);  // steals item
  }
  return list.release();
}

// Pathlib's Path class, imported on first use and kept for the process.
PyObject* path_class() {
  static PyObject* path = nullptr;
  if (path == nullptr) {
    PyRef pathlib = PyRef::steal(PyImport_ImportModule("pathlib"));
    if (!pathlib) return nullptr;
    path = PyObject_GetAttrString(pathlib.get(), "Path");
  }
  return path;
}

constexpr const char* kNewParameters[] = {"location"};
constexpr const char* kUnitsParameters[] = {"channel_name"};
constexpr const char* kDataParameters[] = {"name", "segment", "unit_type"};

PyObject* data_file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_tuple("ZelDataFIle.__new__()", kNewParameters, args, kwargs, bound)) return nullptr;
    std::string location;
    if (!convert_path(bound[0], "location", location)) return nullptr;
    auto state = ZelDataFIle::create(std::move(location), MemberFiling::kWhenAsked);
    if (!state) return raise_python_error(std::move(state).error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // the state's destructor closes the file
    auto* object = reinterpret_cast<DataFileObject*>(self);
    new (object->storage) ZelDataFIle(std::move(*state));
    new (&object->borrow) BorrowFlag();
    return self;
  });
}

void data_file_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<DataFileObject*>(self);
  object->state().~ZelDataFIle();  // closes the archive file
  object->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_location(PyObject* self, void*) {
  return guard_entry([&]() -> PyObject* {
    DataFileObject* object = receiver(self);
    if (object == nullptr) return nullptr;
    auto borrow = take_shared(object);
    if (!borrow) return nullptr;
    const std::string& location = object->state().location;
    const auto length = static_cast<Py_ssize_t>(location.size());
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(location.data(), length, nullptr));
    if (!text) {
      // Bytes that are not UTF-8 come back as the file-system decoding gives them, so that
      // they round-trip to the same path.
      PyErr_Clear();
      text = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(location.data(), length));
      if (!text) return nullptr;
    }
    PyObject* path = path_class();
    if (path == nullptr) return nullptr;
    return PyObject_CallOneArg(path, text.get());
  });
}

PyObject* get_header(PyObject* self, void*) {
  return guard_entry([&]() -> PyObject* {
    DataFileObject* object = receiver(self);
    if (object == nullptr) return nullptr;
    auto borrow = take_shared(object);
    if (!borrow) return nullptr;
    return node_to_py(object->state().header.data());
  });
}

PyObject* get_channels(PyObject* self, PyObject*) {
  return guard_entry([&]() -> PyObject* {
    DataFileObject* object = receiver(self);
    if (object == nullptr) return nullptr;
    auto borrow = take_shared(object);
    if (!borrow) return nullptr;
    auto channels = object->state().header.get_channels();
    if (!channels) return raise_python_error(std::move(channels).error());
    return string_list(
        *channels, +[](const ZelHeader::Channel& c) { return c.name; });
  });
}

PyObject* get_channel_units(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall("ZelDataFIle.get_channel_units()", kUnitsParameters, args, nargs, kwnames,
                       bound)) {
      return nullptr;
    }
    DataFileObject* object = receiver(self);
    if (object == nullptr) return nullptr;
    auto borrow = take_shared(object);
    if (!borrow) return nullptr;
    std::string_view channel_name;
    if (!convert_text(bound[0], "channel_name", channel_name)) return nullptr;
    auto units = object->state().header.get_unit_types(channel_name);
    if (!units) return raise_python_error(std::move(units).error());
    return string_list(
        *units, +[](const std::string_view& unit) { return unit; });
  });
}

PyObject* get_channel_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard_entry([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_fastcall("ZelDataFIle.get_channel_data()", kDataParameters, args, nargs, kwnames,
                       bound)) {
      return nullptr;
    }
    DataFileObject* object = receiver(self);
    if (object == nullptr) return nullptr;
    auto borrow = take_exclusive(object);
    if (!borrow) return nullptr;
    std::string_view name, unit_type;
    uint8_t segment = 0;
    if (!convert_text(bound[0], "name", name) || !convert_segment(bound[1], "segment", segment) ||
        !convert_text(bound[2], "unit_type", unit_type)) {
      return nullptr;
    }
    auto array = read_channel_data(object->state(), name, segment, unit_type);
    if (!array) return raise_python_error(std::move(array).error());
    return std::move(array).value().release();
  });
}

PyGetSetDef getters[] = {
    {"location", get_location, nullptr, nullptr, nullptr},
    {"header", get_header, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"get_channels", get_channels, METH_NOARGS, "get_channels($self)\n--\n\n"},
    {"get_channel_units",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_channel_units)),
     METH_FASTCALL | METH_KEYWORDS, "get_channel_units($self, channel_name)\n--\n\n"},
    {"get_channel_data",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_channel_data)),
     METH_FASTCALL | METH_KEYWORDS, "get_channel_data($self, name, segment, unit_type)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The interpreter splits off the text signature "(location)" and keeps the rest as __doc__.
constexpr const char* kClassDoc =
    "ZelDataFIle(location)\n--\n\nMain Class for reading Zel data files.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(data_file_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(data_file_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_getset, getters},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// The dotted name gives the class its __module__; __name__ stays "ZelDataFIle". No base-type
// flag (cannot be subclassed), no GC (holds no Python references), no dict, no weak references.
PyType_Spec spec = {
    "zel_data_reader.ZelDataFIle",
    static_cast<int>(sizeof(DataFileObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyTypeObject* data_file_type() {
  if (the_type != nullptr) return the_type;
  PyRef type = PyRef::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
  // Python 3.9 keeps a heap type's doc without its signature, which loses __text_signature__;
  // the full text is put back (__doc__ was already taken from it).
  auto* created = reinterpret_cast<PyTypeObject*>(type.get());
  const size_t length = std::strlen(kClassDoc) + 1;
  auto* doc = static_cast<char*>(PyObject_Malloc(length));
  if (doc == nullptr) return reinterpret_cast<PyTypeObject*>(PyErr_NoMemory());
  std::memcpy(doc, kClassDoc, length);
  PyObject_Free(const_cast<char*>(created->tp_doc));
  created->tp_doc = doc;
#endif
  the_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
  return the_type;
}

}  // namespace zel

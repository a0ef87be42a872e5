// zel_data_tools._members: member counts of an archive for the `zel` tool, through the archive
// room, without reading member names into Python one by one.
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "python/members/member_counts.hpp"
#include "python/py_ref.hpp"
#include "python/raise_python_error_py.hpp"

namespace zel {

namespace {

// Returns a new reference: (total, {(segment, channel bytes): count}).
PyObject* counts_to_py(const MemberCounts& counts) {
  PyRef by_reading = PyRef::steal(PyDict_New());
  if (!by_reading) return nullptr;
  for (const auto& [key, count] : counts.by_reading) {
    PyRef segment = PyRef::steal(PyLong_FromLong(static_cast<unsigned char>(key[0])));
    if (!segment) return nullptr;
    PyRef channel = PyRef::steal(
        PyBytes_FromStringAndSize(key.data() + 1, static_cast<Py_ssize_t>(key.size() - 1)));
    if (!channel) return nullptr;
    PyRef reading = PyRef::steal(PyTuple_Pack(2, segment.get(), channel.get()));
    if (!reading) return nullptr;
    PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItem(by_reading.get(), reading.get(), value.get()) < 0) return nullptr;
  }
  PyRef total = PyRef::steal(PyLong_FromUnsignedLongLong(counts.total));
  if (!total) return nullptr;
  return PyTuple_Pack(2, total.get(), by_reading.get());
}

PyObject* count_impl(PyObject* path_argument) {
  PyObject* converted = nullptr;  // a new reference to bytes once converted
  if (!PyUnicode_FSConverter(path_argument, &converted)) return nullptr;
  PyRef path_bytes = PyRef::steal(converted);
  const std::string path(PyBytes_AS_STRING(path_bytes.get()),
                         static_cast<size_t>(PyBytes_GET_SIZE(path_bytes.get())));
  Result<MemberCounts> counts = count_members(path);
  if (!counts) return raise_python_error(std::move(counts).error());
  return counts_to_py(*counts);
}

PyObject* count(PyObject*, PyObject* path_argument) noexcept {
  try {
    return count_impl(path_argument);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Format(PyExc_SystemError, "internal fault in zel_data_tools._members: %s", fault.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal fault in zel_data_tools._members");
  }
  return nullptr;
}

PyMethodDef methods[] = {
    {"count", count, METH_O,
     "count(path, /)\n--\n\n"
     "Counts the archive's members in one walk of its central directory.\n\n"
     "Returns (total, counts): the number of central-directory records, and a dict that maps\n"
     "(segment, channel) to the number of members that a read of that channel and segment\n"
     "selects; the channel is the raw name bytes. Raises OSError for a file that cannot be\n"
     "opened or is no readable ZIP archive."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zel_data_tools._members",
    "Member counts of Zel data files, read through the archive layer of zel_data_reader.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zel

PyMODINIT_FUNC PyInit__members(void) { return PyModule_Create(&zel::module_definition); }

// zel_data_tools._engine: the tools' own reader of data files. An Archive is an open data file
// whose reads release the interpreter lock and run on several threads; it shares the core's
// opening, catalogue, conversions and member names with the module, and none of its promises
// about the lock and standard output.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python/py_ref.hpp"
#include "python/raise_python_error_py.hpp"
#include "reader/channel_data.hpp"
#include "reader/channel_members.hpp"
#include "reader/data_file.hpp"
#include "reader/file_summary.hpp"
#include "reader/row_reads.hpp"

namespace zel {

namespace {

// An open file and the readers over it. It stays where it was built (the pool refers to the
// file's reader), and lives while the Python object or a running read holds it.
struct OpenArchive {
  explicit OpenArchive(ZelDataFIle opened) : file(std::move(opened)), pool(file.reader) {}
  ZelDataFIle file;
  ReaderPool pool;
};

// threading.main_thread, which names the one thread that runs signal handlers (another one
// after a fork from a thread); held for the life of the process.
PyObject* main_thread_function = nullptr;

// Whether the calling thread, which holds the lock, is the main thread; -1 with an exception.
int on_main_thread() {
  PyRef thread = PyRef::steal(PyObject_CallNoArgs(main_thread_function));
  if (!thread) return -1;
  PyRef ident = PyRef::steal(PyObject_GetAttrString(thread.get(), "ident"));
  if (!ident) return -1;
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
  if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  return main_ident == PyThread_get_thread_ident() ? 1 : 0;
}

struct ArchiveObject {
  PyObject_HEAD std::shared_ptr<OpenArchive> open;  // null once closed
  PyObject* identity;  // owned: (device, inode, size, mtime ns, ctime ns)
};

ArchiveObject* as_archive(PyObject* self) { return reinterpret_cast<ArchiveObject*>(self); }

// Runs an entry point's body; a C++ exception that escapes it becomes a Python exception.
template <class Body>
PyObject* guarded(const char* what, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Format(PyExc_SystemError, "internal fault in zel_data_tools._engine.%s: %s", what,
                 fault.what());
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "internal fault in zel_data_tools._engine.%s", what);
  }
  return nullptr;
}

std::shared_ptr<OpenArchive> open_or_raise(PyObject* self) {
  std::shared_ptr<OpenArchive> open = as_archive(self)->open;
  if (!open) PyErr_SetString(PyExc_ValueError, "I/O operation on a closed file");
  return open;
}

PyObject* text(std::string_view value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                              "surrogateescape");
}

PyObject* optional_text(const std::optional<std::string>& value) {
  if (!value) Py_RETURN_NONE;
  return text(*value);
}

// --- construction -----------------------------------------------------------------------

PyObject* archive_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* converted = nullptr;  // a new reference to bytes once converted
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:Archive", const_cast<char**>(keywords),
                                   PyUnicode_FSConverter, &converted)) {
    return nullptr;
  }
  PyRef path_bytes = PyRef::steal(converted);
  std::string path(PyBytes_AS_STRING(path_bytes.get()),
                   static_cast<size_t>(PyBytes_GET_SIZE(path_bytes.get())));

  // Opening walks the whole central directory: other threads may run meanwhile.
  std::optional<Result<ZelDataFIle>> opened;
  Py_BEGIN_ALLOW_THREADS opened.emplace(ZelDataFIle::create(std::move(path)));
  Py_END_ALLOW_THREADS if (!*opened) return raise_python_error(std::move(*opened).error());
  auto open = std::make_shared<OpenArchive>(std::move(**opened));
  auto identity = open->file.reader.file().identity();
  if (!identity) return raise_python_error(std::move(identity).error());

  PyRef identity_tuple = PyRef::steal(Py_BuildValue(
      "(KKKLL)", static_cast<unsigned long long>(identity->device),
      static_cast<unsigned long long>(identity->inode),
      static_cast<unsigned long long>(identity->size),
      static_cast<long long>(identity->modified_ns), static_cast<long long>(identity->changed_ns)));
  if (!identity_tuple) return nullptr;
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&as_archive(self.get())->open) std::shared_ptr<OpenArchive>(std::move(open));
  as_archive(self.get())->identity = identity_tuple.release();  // owned by the object
  return self.release();
}

PyObject* archive_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded("Archive", [&] { return archive_new_impl(type, args, kwargs); });
}

void archive_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ArchiveObject* archive = as_archive(self);
  // A read on another thread holds its own share; the file closes when that read ends.
  archive->open.~shared_ptr();
  Py_XDECREF(archive->identity);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- what it holds ----------------------------------------------------------------------

// Returns a new reference: (records, [(name, data type, base unit, units, {segment: count})]).
PyObject* summary_to_py(const FileSummary& summary) {
  PyRef channels = PyRef::steal(PyList_New(0));
  if (!channels) return nullptr;
  for (const ChannelSummary& channel : summary.channels) {
    PyRef units = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(channel.units.size())));
    if (!units) return nullptr;
    for (size_t i = 0; i < channel.units.size(); ++i) {
      PyObject* unit = text(channel.units[i]);
      if (unit == nullptr) return nullptr;
      PyTuple_SET_ITEM(units.get(), static_cast<Py_ssize_t>(i), unit);  // steals
    }
    PyRef members = PyRef::steal(PyDict_New());
    if (!members) return nullptr;
    for (const auto& [segment, count] : channel.members) {
      PyRef key = PyRef::steal(PyLong_FromLong(segment));
      PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
      if (!key || !value || PyDict_SetItem(members.get(), key.get(), value.get()) < 0) {
        return nullptr;
      }
    }
    PyRef name = PyRef::steal(text(channel.name));
    PyRef data_type = PyRef::steal(optional_text(channel.data_type));
    PyRef base = PyRef::steal(optional_text(channel.base_unit));
    if (!name || !data_type || !base) return nullptr;
    PyRef entry = PyRef::steal(
        PyTuple_Pack(5, name.get(), data_type.get(), base.get(), units.get(), members.get()));
    if (!entry || PyList_Append(channels.get(), entry.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(summary.records),
                       channels.release());  // N steals
}

PyObject* archive_info(PyObject* self, PyObject*) {
  return guarded("info", [&]() -> PyObject* {
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    auto summary = summarize(open->file);
    if (!summary) return raise_python_error(std::move(summary).error());
    return summary_to_py(*summary);
  });
}

// Returns a new reference: every value of the header as (dotted key, value), walked without
// recursion, however deep the tree.
PyObject* archive_header_items(PyObject* self, PyObject*) {
  return guarded("header_items", [&]() -> PyObject* {
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    PyRef items = PyRef::steal(PyList_New(0));
    if (!items) return nullptr;
    struct Pending {
      std::string prefix;
      Node node;
    };
    std::vector<Pending> pending{{std::string(), open->file.header.data()}};
    while (!pending.empty()) {
      Pending at = std::move(pending.back());
      pending.pop_back();
      const std::optional<NodeMap> map = at.node.map();  // pending holds map nodes only
      for (const NodeMap::Entry entry : *map) {
        std::string key =
            at.prefix.empty() ? std::string(entry.name) : at.prefix + "." + std::string(entry.name);
        if (auto value = entry.node.value()) {
          PyRef key_text = PyRef::steal(text(key));
          PyRef value_text = PyRef::steal(text(*value));
          if (!key_text || !value_text) return nullptr;
          PyRef item = PyRef::steal(PyTuple_Pack(2, key_text.get(), value_text.get()));
          if (!item || PyList_Append(items.get(), item.get()) < 0) return nullptr;
        } else {
          pending.push_back({std::move(key), entry.node});
        }
      }
    }
    return items.release();
  });
}

// --- reading ----------------------------------------------------------------------------

// A caller's buffer, held for the whole read.
class HeldBuffer {
 public:
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool take(PyObject* object) {
    held_ =
        PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
    return held_;
  }
  Py_buffer& view() { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// read(channel, segments, unit, row_start, row_step, row_count, threads, out): fills `out`,
// C-contiguous float64 of (len(segments), row_count, side, 100) values.
PyObject* archive_read(PyObject* self, PyObject* args) {
  return guarded("read", [&]() -> PyObject* {
    const char *channel, *unit;
    Py_ssize_t channel_length, unit_length;
    PyObject *segment_list, *out;
    long long row_start, row_step, row_count;
    unsigned int threads;
    if (!PyArg_ParseTuple(args, "s#Os#LLLIO:read", &channel, &channel_length, &segment_list, &unit,
                          &unit_length, &row_start, &row_step, &row_count, &threads, &out)) {
      return nullptr;
    }
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    std::vector<uint8_t> segments;
    PyRef sequence = PyRef::steal(PySequence_Fast(segment_list, "segments must be a sequence"));
    if (!sequence) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
      const long segment = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
      if (segment == -1 && PyErr_Occurred()) return nullptr;
      if (segment < 0 || segment > 255) {
        PyErr_SetString(PyExc_OverflowError, "a segment lies between 0 and 255");
        return nullptr;
      }
      segments.push_back(static_cast<uint8_t>(segment));
    }
    const std::string_view channel_name(channel, static_cast<size_t>(channel_length));
    const std::string_view unit_name(unit, static_cast<size_t>(unit_length));

    // The grid of the first segment; read_rows checks that every segment has it.
    uint64_t side = 0;
    if (!segments.empty()) {
      const size_t count = open->file.members.count(channel_suffix(segments[0], channel_name));
      side = grid_side(count);
    }
    const long long last = row_start + (row_count - 1) * row_step;
    if (row_count < 0 ||
        (row_count > 0 && (row_start < 0 || last < 0 || static_cast<uint64_t>(row_start) >= side ||
                           static_cast<uint64_t>(last) >= side))) {
      PyErr_Format(PyExc_IndexError, "rows lie outside the grid's %llu rows",
                   static_cast<unsigned long long>(side));
      return nullptr;
    }
    HeldBuffer buffer;
    if (!buffer.take(out)) return nullptr;
    const uint64_t values =
        segments.size() * static_cast<uint64_t>(row_count) * side * kBlockValues;
    const char* format = buffer.view().format;
    if (format == nullptr || std::string_view(format) != "d" ||
        static_cast<uint64_t>(buffer.view().len) != values * sizeof(double)) {
      PyErr_Format(PyExc_ValueError, "out must be C-contiguous float64 with %llu values",
                   static_cast<unsigned long long>(values));
      return nullptr;
    }
    if (values == 0) Py_RETURN_NONE;

    const RowRead request{channel_name,
                          segments,
                          unit_name,
                          static_cast<uint64_t>(row_start),
                          row_step,
                          static_cast<uint64_t>(row_count),
                          side,
                          std::span<double>(static_cast<double*>(buffer.view().buf), values),
                          std::max(threads, 1u)};
    // The lock is released for the read. Python runs signal handlers on its main thread only:
    // there the calling thread takes the lock back every few milliseconds to let them run, and
    // a handler that raises stops the read. Elsewhere it never waits for the lock mid-read,
    // which other threads running Python (a Dask scheduler) would hold.
    const int main_thread = on_main_thread();
    if (main_thread < 0) return nullptr;
    const bool handles_signals = main_thread == 1;
    bool interrupted = false;
    PyThreadState* saved = PyEval_SaveThread();
    auto keep_going = [&]() -> bool {
      if (!handles_signals) return true;
      PyEval_RestoreThread(saved);
      interrupted = PyErr_CheckSignals() != 0;
      saved = PyEval_SaveThread();
      return !interrupted;
    };
    Result<void> read = read_rows(open->file, open->pool, request, keep_going);
    PyEval_RestoreThread(saved);
    if (interrupted) return nullptr;  // the handler's exception is set
    if (!read) return raise_python_error(std::move(read).error());
    Py_RETURN_NONE;
  });
}

PyObject* archive_close(PyObject* self, PyObject*) {
  // Reads running on other threads keep their share and finish first.
  as_archive(self)->open.reset();
  Py_RETURN_NONE;
}

PyObject* archive_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_archive(self)->open == nullptr);
}

PyObject* archive_identity(PyObject* self, void*) {
  Py_INCREF(as_archive(self)->identity);
  return as_archive(self)->identity;
}

PyMethodDef archive_methods[] = {
    {"info", archive_info, METH_NOARGS,
     "info()\n--\n\n(records, [(name, data type, base unit, units, {segment: members})])"},
    {"header_items", archive_header_items, METH_NOARGS,
     "header_items()\n--\n\nEvery header value as (dotted key, value)."},
    {"read", archive_read, METH_VARARGS,
     "read(channel, segments, unit, row_start, row_step, row_count, threads, out)\n--\n\n"
     "Fills out with the chosen rows of the channel's segments."},
    {"close", archive_close, METH_NOARGS, "close()\n--\n\nCloses the file."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef archive_getset[] = {
    {"closed", archive_closed, nullptr, "Whether the file is closed.", nullptr},
    {"identity", archive_identity, nullptr,
     "(device, inode, size, modification ns, change ns) of the open file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot archive_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(archive_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(archive_dealloc)},
    {Py_tp_methods, archive_methods},
    {Py_tp_getset, archive_getset},
    {Py_tp_doc, const_cast<char*>("Archive(path)\n--\n\nAn open data file.")},
    {0, nullptr}};

PyType_Spec archive_spec = {"zel_data_tools._engine.Archive", sizeof(ArchiveObject), 0,
                            Py_TPFLAGS_DEFAULT, archive_slots};

PyModuleDef engine_module = {PyModuleDef_HEAD_INIT,
                             "zel_data_tools._engine",
                             "The tools' native reader of Zel data files.",
                             -1,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

}  // namespace zel

PyMODINIT_FUNC PyInit__engine() {
  zel::PyRef module = zel::PyRef::steal(PyModule_Create(&zel::engine_module));
  if (!module) return nullptr;
  if (zel::main_thread_function == nullptr) {
    zel::PyRef threading = zel::PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) return nullptr;
    zel::main_thread_function = PyObject_GetAttrString(threading.get(), "main_thread");
    if (zel::main_thread_function == nullptr) return nullptr;
  }
  zel::PyRef type = zel::PyRef::steal(PyType_FromSpec(&zel::archive_spec));
  if (!type) return nullptr;
  if (PyModule_AddObject(module.get(), "Archive", type.get()) < 0) return nullptr;
  (void)type.release();  // PyModule_AddObject stole it
  return module.release();
}

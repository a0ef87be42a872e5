// zel_data_tools._engine: the tools' own reader of data files. An Archive is an open data file
// whose reads release the interpreter lock and run on several threads; it shares the core's
// opening, catalogue, conversions and member names with the module, and none of its promises
// about the lock and standard output.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/engine/engine_errors_py.hpp"
#include "python/engine/header_walk_py.hpp"
#include "python/engine/open_archive.hpp"
#include "python/engine/released_lock_py.hpp"
#include "python/entry_guard_py.hpp"
#include "python/py_ref.hpp"
#include "reader/channel_data.hpp"
#include "reader/channel_members.hpp"
#include "reader/data_file.hpp"
#include "reader/fetched_reads.hpp"
#include "reader/file_summary.hpp"
#include "reader/index_slice.hpp"
#include "reader/member_methods.hpp"
#include "reader/row_reads.hpp"
#include "reader/sample_counts.hpp"

namespace zel {

namespace {

// threading.main_thread, which names the one thread that runs signal handlers (another one
// after a fork from a thread); held for the life of the process.
PyObject* main_thread_function = nullptr;
// The Archive type and the MissingBytes exception, made once with the module.
PyObject* archive_type = nullptr;
PyObject* missing_bytes_type = nullptr;

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

// Runs an entry point's body with the lock held; a C++ exception that escapes it becomes a
// MemoryError (memory ran out) or the engine's internal-fault SystemError.
template <class Body>
PyObject* guarded(Body body) noexcept {
  return guard_entry(body, raise_engine_fault);
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

// A new Archive object that owns `open` and `identity`.
PyObject* wrap_archive(PyTypeObject* type, std::shared_ptr<OpenArchive> open, PyRef identity) {
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  new (&as_archive(self.get())->open) std::shared_ptr<OpenArchive>(std::move(open));
  as_archive(self.get())->identity = identity.release();  // owned by the object
  return self.release();
}

// Raises MissingBytes(offset, length) when a read of fetched pieces lacked some, else the
// error itself; returns nullptr.
PyObject* raise_fetched_error(const FetchedBytes& fetched, ZelError&& error) {
  if (const std::optional<ByteRange> missing = fetched.missing()) {
    PyRef args =
        PyRef::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(missing->offset),
                                   static_cast<unsigned long long>(missing->length)));
    if (args) PyErr_SetObject(missing_bytes_type, args.get());
    return nullptr;
  }
  return raise_engine_error(std::move(error));
}

// Pieces of an object of `size` bytes from a sequence of (offset, bytes-like); nullptr with an
// exception set when they are no such sequence or do not fit the object.
std::shared_ptr<FetchedBytes> fetched_from_py(unsigned long long size, PyObject* pieces) {
  auto fetched = std::make_shared<FetchedBytes>(size);
  PyRef sequence = PyRef::steal(PySequence_Fast(pieces, "pieces must be a sequence"));
  if (!sequence) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    unsigned long long offset;
    Py_buffer view;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(sequence.get(), i), "Ky*:piece", &offset,
                          &view)) {
      return nullptr;
    }
    auto added = fetched->add(offset, std::span<const uint8_t>(static_cast<uint8_t*>(view.buf),
                                                               static_cast<size_t>(view.len)));
    PyBuffer_Release(&view);
    if (!added) {
      PyErr_SetString(PyExc_ValueError, message(added.error()).c_str());
      return nullptr;
    }
  }
  return fetched;
}

// directory_range(size, pieces): (offset, length) of the central directory of an object of
// `size` bytes, from pieces that hold its end records.
PyObject* engine_directory_range(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long size;
    PyObject* pieces;
    if (!PyArg_ParseTuple(args, "KO:directory_range", &size, &pieces)) return nullptr;
    std::shared_ptr<FetchedBytes> fetched = fetched_from_py(size, pieces);
    if (!fetched) return nullptr;
    auto range = directory_range(ByteSource(fetched));
    if (!range) return raise_fetched_error(*fetched, std::move(range).error());
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(range->offset),
                         static_cast<unsigned long long>(range->length));
  });
}

// open_fetched(location, size, pieces): an Archive over fetched pieces of an object of `size`
// bytes, opened as a file is; MissingBytes names bytes that the open needs and lacks.
PyObject* engine_open_fetched(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* location;
    Py_ssize_t location_length;
    unsigned long long size;
    PyObject* pieces;
    if (!PyArg_ParseTuple(args, "s#KO:open_fetched", &location, &location_length, &size, &pieces)) {
      return nullptr;
    }
    std::shared_ptr<FetchedBytes> fetched = fetched_from_py(size, pieces);
    if (!fetched) return nullptr;
    std::optional<Result<ZelDataFIle>> opened;
    {
      const ReleasedLock released;
      opened.emplace(
          ZelDataFIle::from_source(std::string(location, static_cast<size_t>(location_length)),
                                   ByteSource(fetched), MemberFiling::kWhenAsked));
    }
    if (!*opened) return raise_fetched_error(*fetched, std::move(*opened).error());
    auto open = std::make_shared<OpenArchive>(std::move(**opened));
    return wrap_archive(reinterpret_cast<PyTypeObject*>(archive_type), std::move(open),
                        PyRef::borrow(Py_None));
  });
}

// open_slice(location, size, version, blob): an Archive over an object of `size` bytes at
// `version` whose index holds only the members of an index slice; its reads take fetched
// pieces.
PyObject* engine_open_slice(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char *location, *version;
    Py_ssize_t location_length, version_length;
    unsigned long long size;
    Py_buffer blob;
    if (!PyArg_ParseTuple(args, "s#Ky#y*:open_slice", &location, &location_length, &size, &version,
                          &version_length, &blob)) {
      return nullptr;
    }
    // The blob is read with the lock released: a copy of its own keeps another thread from
    // changing it meanwhile.
    std::vector<uint8_t> bytes;
    {
      struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
      } const release{&blob};
      bytes.assign(static_cast<uint8_t*>(blob.buf), static_cast<uint8_t*>(blob.buf) + blob.len);
    }
    const std::string version_bytes(version, static_cast<size_t>(version_length));
    std::optional<Result<ZelDataFIle>> opened;
    {
      const ReleasedLock released;
      opened.emplace(open_index_slice(std::string(location, static_cast<size_t>(location_length)),
                                      ByteSource(std::make_shared<FetchedBytes>(size)),
                                      version_bytes, bytes));
    }
    if (!*opened) return raise_engine_error(std::move(*opened).error());
    auto open = std::make_shared<OpenArchive>(std::move(**opened));
    return wrap_archive(reinterpret_cast<PyTypeObject*>(archive_type), std::move(open),
                        PyRef::borrow(Py_None));
  });
}

PyObject* archive_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "file_members", nullptr};
  PyObject* converted = nullptr;  // a new reference to bytes once converted
  int file_members = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|$p:Archive", const_cast<char**>(keywords),
                                   PyUnicode_FSConverter, &converted, &file_members)) {
    return nullptr;
  }
  PyRef path_bytes = PyRef::steal(converted);
  std::string path(PyBytes_AS_STRING(path_bytes.get()),
                   static_cast<size_t>(PyBytes_GET_SIZE(path_bytes.get())));

  // Opening walks the whole central directory: other threads may run meanwhile.
  std::optional<Result<ZelDataFIle>> opened;
  {
    const ReleasedLock released;
    // Filed on the open's own walk for a caller about to summarize the whole file; else at the
    // first ask, for only the channel asked for.
    opened.emplace(ZelDataFIle::create(
        std::move(path), file_members ? MemberFiling::kAtOpen : MemberFiling::kWhenAsked));
  }
  if (!*opened) return raise_engine_error(std::move(*opened).error());
  auto open = std::make_shared<OpenArchive>(std::move(**opened));
  auto identity = open->file.reader.source().file()->identity();
  if (!identity) return raise_engine_error(std::move(identity).error());

  PyRef identity_tuple = PyRef::steal(Py_BuildValue(
      "(KKKLL)", static_cast<unsigned long long>(identity->device),
      static_cast<unsigned long long>(identity->inode),
      static_cast<unsigned long long>(identity->size),
      static_cast<long long>(identity->modified_ns), static_cast<long long>(identity->changed_ns)));
  if (!identity_tuple) return nullptr;
  return wrap_archive(type, std::move(open), std::move(identity_tuple));
}

PyObject* archive_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return archive_new_impl(type, args, kwargs); });
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

// Segment numbers from a sequence of ints; false with an exception set.
bool segments_from_py(PyObject* segment_list, std::vector<uint8_t>& segments) {
  PyRef sequence = PyRef::steal(PySequence_Fast(segment_list, "segments must be a sequence"));
  if (!sequence) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    const long segment = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (segment == -1 && PyErr_Occurred()) return false;
    if (segment < 0 || segment > 255) {
      PyErr_SetString(PyExc_OverflowError, "a segment lies between 0 and 255");
      return false;
    }
    segments.push_back(static_cast<uint8_t>(segment));
  }
  return true;
}

// Returns a new reference: (name, data type, base unit, units, {segment: count}).
PyObject* channel_summary_to_py(const ChannelSummary& channel) {
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
  return PyTuple_Pack(5, name.get(), data_type.get(), base.get(), units.get(), members.get());
}

// Returns a new reference: (records, [(name, data type, base unit, units, {segment: count})]).
PyObject* summary_to_py(const FileSummary& summary) {
  PyRef channels = PyRef::steal(PyList_New(0));
  if (!channels) return nullptr;
  for (const ChannelSummary& channel : summary.channels) {
    PyRef entry = PyRef::steal(channel_summary_to_py(channel));
    if (!entry || PyList_Append(channels.get(), entry.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(summary.records),
                       channels.release());  // N steals
}

using ChannelSampleCounts = std::vector<std::pair<uint8_t, SampleCounts>>;

// Returns a new reference: {segment: (fewest, most, short positions)}.
PyObject* sample_counts_to_py(const ChannelSampleCounts& counts) {
  PyRef segments = PyRef::steal(PyDict_New());
  if (!segments) return nullptr;
  for (const auto& [segment, found] : counts) {
    PyRef key = PyRef::steal(PyLong_FromLong(segment));
    PyRef value =
        PyRef::steal(Py_BuildValue("(KKK)", static_cast<unsigned long long>(found.fewest),
                                   static_cast<unsigned long long>(found.most),
                                   static_cast<unsigned long long>(found.short_positions)));
    if (!key || !value || PyDict_SetItem(segments.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return segments.release();
}

PyObject* archive_info(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    std::optional<Result<FileSummary>> summary;
    {
      const ReleasedLock released;  // summarizing may file the members
      summary.emplace(summarize(open->file));
    }
    if (!*summary) return raise_engine_error(std::move(*summary).error());
    return summary_to_py(**summary);
  });
}

// Returns a new reference: {channel: {segment: (fewest, most, short positions)}} for every
// channel of the catalogue, from the member sizes the directory records.
PyObject* archive_sample_counts(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    auto channels = open->file.header.get_channels();
    if (!channels) return raise_engine_error(std::move(channels).error());
    // Every channel is counted: the members are filed first, by one walk of the directory,
    // with the lock released.
    std::optional<ZelError> failure;
    std::vector<Result<ChannelSampleCounts>> per_channel;
    {
      const ReleasedLock released;
      if (auto filed = open->file.file_every_member(); !filed) {
        failure = std::move(filed).error();
      } else {
        per_channel.reserve(channels->size());
        for (const ZelHeader::Channel& channel : *channels) {
          per_channel.push_back(sample_counts(open->file, channel.name));
        }
      }
    }
    if (failure) return raise_engine_error(std::move(*failure));
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (size_t i = 0; i < channels->size(); ++i) {
      PyRef name = PyRef::steal(text((*channels)[i].name));
      if (!name) return nullptr;
      if (PyDict_Contains(result.get(), name.get()) != 0) continue;  // the first entry answers
      if (!per_channel[i]) return raise_engine_error(std::move(per_channel[i]).error());
      PyRef segments = PyRef::steal(sample_counts_to_py(*per_channel[i]));
      if (!segments || PyDict_SetItem(result.get(), name.get(), segments.get()) < 0) {
        return nullptr;
      }
    }
    return result.release();
  });
}

// channel_info(name): (name, data type, base unit, units, {segment: count}, {segment: (fewest,
// most, short positions)}) of the channel called `name`, as info() and sample_counts() give it,
// or None when the catalogue has no such channel. Files only that channel's members when
// nothing is filed yet.
PyObject* archive_channel_info(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* name;
    Py_ssize_t name_length;
    if (!PyArg_ParseTuple(args, "s#:channel_info", &name, &name_length)) return nullptr;
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    const std::string_view channel(name, static_cast<size_t>(name_length));
    std::optional<Result<std::optional<ChannelSummary>>> summary;
    std::optional<Result<ChannelSampleCounts>> counts;
    {
      const ReleasedLock released;  // filing the channel's members walks the directory
      summary.emplace(summarize_channel(open->file, channel));
      if (*summary && **summary) counts.emplace(sample_counts(open->file, channel));
    }
    if (!*summary) return raise_engine_error(std::move(*summary).error());
    if (!**summary) Py_RETURN_NONE;
    if (!*counts) return raise_engine_error(std::move(*counts).error());
    PyRef described = PyRef::steal(channel_summary_to_py(***summary));
    PyRef samples = PyRef::steal(sample_counts_to_py(**counts));
    if (!described || !samples) return nullptr;
    PyRef last = PyRef::steal(PyTuple_Pack(1, samples.get()));
    if (!last) return nullptr;
    return PySequence_Concat(described.get(), last.get());
  });
}

// Returns a new reference: [(member name, method)].
PyObject* methods_to_py(const std::vector<MemberMethod>& members) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const MemberMethod& member : members) {
    PyRef name = PyRef::steal(text(member.name));
    if (!name) return nullptr;
    PyRef item = PyRef::steal(Py_BuildValue("(Oi)", name.get(), int{member.method}));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// non_deflate_members(channel, segments, limit): [(member name, method)] of the channel's
// members in those segments that are no DEFLATE streams, in directory order.
PyObject* archive_non_deflate_members(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* channel;
    Py_ssize_t channel_length;
    PyObject* segment_list;
    Py_ssize_t limit;
    if (!PyArg_ParseTuple(args, "s#On:non_deflate_members", &channel, &channel_length,
                          &segment_list, &limit)) {
      return nullptr;
    }
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    std::vector<uint8_t> segments;
    if (!segments_from_py(segment_list, segments)) return nullptr;
    std::optional<Result<std::vector<MemberMethod>>> found;
    {
      const ReleasedLock released;
      found.emplace(non_deflate_members(
          open->file, std::string_view(channel, static_cast<size_t>(channel_length)), segments,
          static_cast<size_t>(std::max<Py_ssize_t>(limit, 0))));
    }
    if (!*found) return raise_engine_error(std::move(*found).error());
    return methods_to_py(**found);
  });
}

// Returns a new reference: every value of the header as (dotted key, value), walked without
// recursion, however deep the tree.
PyObject* archive_header_items(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    PyRef items = PyRef::steal(PyList_New(0));
    if (!items) return nullptr;
    // Depth first with one shared key: a map's key is written once, however deep the tree,
    // and every value's key is its map's key, a dot and its name (a root key as it stands,
    // even an empty one).
    struct Frame {
      NodeMap::Iterator next, end;
      size_t key_length;  // of `key` for this map
    };
    const NodeMap root = *open->file.header.data().map();
    std::vector<Frame> frames{{root.begin(), root.end(), 0}};
    std::string key;
    while (!frames.empty()) {
      Frame& frame = frames.back();
      if (frame.next == frame.end) {
        frames.pop_back();
        continue;
      }
      const NodeMap::Entry entry = *frame.next;
      ++frame.next;
      key.resize(frame.key_length);
      if (frames.size() > 1) key += '.';
      key += entry.name;
      if (auto value = entry.node.value()) {
        PyRef key_text = PyRef::steal(text(key));
        PyRef value_text = PyRef::steal(text(*value));
        if (!key_text || !value_text) return nullptr;
        PyRef item = PyRef::steal(PyTuple_Pack(2, key_text.get(), value_text.get()));
        if (!item || PyList_Append(items.get(), item.get()) < 0) return nullptr;
      } else {
        const NodeMap children = *entry.node.map();
        frames.push_back({children.begin(), children.end(), key.size()});
      }
    }
    return items.release();
  });
}

// header_walk(prefix): the header's nodes in natural order, those whose dotted key begins with
// `prefix` and the maps above them, as an iterator of (depth, name, value or None).
PyObject* archive_header_walk(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* prefix;
    Py_ssize_t prefix_length;
    if (!PyArg_ParseTuple(args, "s#:header_walk", &prefix, &prefix_length)) return nullptr;
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    return new_header_walk(std::move(open),
                           std::string(prefix, static_cast<size_t>(prefix_length)));
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

// side(channel, segment): the side of the square grid of the channel's segment.
PyObject* archive_side(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* channel;
    Py_ssize_t channel_length;
    unsigned char segment;
    if (!PyArg_ParseTuple(args, "s#b:side", &channel, &channel_length, &segment)) return nullptr;
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    auto grid = segment_grid(
        open->file, std::string_view(channel, static_cast<size_t>(channel_length)), segment);
    if (!grid) return raise_engine_error(std::move(grid).error());
    return PyLong_FromUnsignedLongLong(grid->side);
  });
}

// plan(channel, segments, row_start, row_step, row_count, max_gap, max_block): the merged
// byte ranges [(offset, length)] that a read of those rows needs, ascending.
PyObject* archive_plan(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* channel;
    Py_ssize_t channel_length;
    PyObject* segment_list;
    long long row_start, row_step, row_count;
    unsigned long long max_gap, max_block;
    if (!PyArg_ParseTuple(args, "s#OLLLKK:plan", &channel, &channel_length, &segment_list,
                          &row_start, &row_step, &row_count, &max_gap, &max_block)) {
      return nullptr;
    }
    if (row_count < 0) {
      PyErr_SetString(PyExc_ValueError, "row_count must not be negative");
      return nullptr;
    }
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    std::vector<uint8_t> segments;
    if (!segments_from_py(segment_list, segments)) return nullptr;
    const std::vector<ByteRange> ranges = plan_row_ranges(
        open->file, std::string_view(channel, static_cast<size_t>(channel_length)), segments,
        row_start, row_step, static_cast<uint64_t>(row_count), RangePolicy{max_gap, max_block});
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < ranges.size(); ++i) {
      PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].offset),
                                     static_cast<unsigned long long>(ranges[i].length));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  });
}

// index_slice(channel, segments, version): the blob of the channel's members in those segments,
// with the header and the object's size and version, that open_slice opens elsewhere.
PyObject* archive_index_slice(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char *channel, *version;
    Py_ssize_t channel_length, version_length;
    PyObject* segment_list;
    if (!PyArg_ParseTuple(args, "s#Oy#:index_slice", &channel, &channel_length, &segment_list,
                          &version, &version_length)) {
      return nullptr;
    }
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    std::vector<uint8_t> segments;
    if (!segments_from_py(segment_list, segments)) return nullptr;
    auto blob =
        make_index_slice(open->file, std::string_view(channel, static_cast<size_t>(channel_length)),
                         segments, std::string_view(version, static_cast<size_t>(version_length)));
    if (!blob) return raise_engine_error(std::move(blob).error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blob->data()),
                                     static_cast<Py_ssize_t>(blob->size()));
  });
}

// size(): the length of the archive's file or object.
PyObject* archive_size(PyObject* self, PyObject*) {
  auto open = open_or_raise(self);
  if (!open) return nullptr;
  return PyLong_FromUnsignedLongLong(open->file.reader.source().size());
}

// read(channel, segments, unit, row_start, row_step, row_count, threads, out[, pieces]): fills
// `out`; with pieces, a sequence of (offset, bytes-like) fetched from the object, reads from
// them alone and raises MissingBytes(offset, length) for bytes they lack. Otherwise fills `out`,
// C-contiguous float64 of (len(segments), row_count, side, 100) values; the core checks the
// rows against the grid and the number of values against the request.
PyObject* archive_read(PyObject* self, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char *channel, *unit;
    Py_ssize_t channel_length, unit_length;
    PyObject *segment_list, *out, *pieces = Py_None;
    long long row_start, row_step, row_count;
    unsigned int threads;
    if (!PyArg_ParseTuple(args, "s#Os#LLLIO|O:read", &channel, &channel_length, &segment_list,
                          &unit, &unit_length, &row_start, &row_step, &row_count, &threads, &out,
                          &pieces)) {
      return nullptr;
    }
    if (row_count < 0) {
      PyErr_SetString(PyExc_ValueError, "row_count must not be negative");
      return nullptr;
    }
    auto open = open_or_raise(self);
    if (!open) return nullptr;
    std::vector<uint8_t> segments;
    if (!segments_from_py(segment_list, segments)) return nullptr;
    // Fetched pieces: the read runs over readers of their own, with the file's index.
    std::shared_ptr<FetchedBytes> fetched;
    std::optional<ZipReader> fetched_reader;
    std::optional<ReaderPool> fetched_pool;
    if (pieces != Py_None) {
      fetched = fetched_from_py(open->file.reader.source().size(), pieces);
      if (!fetched) return nullptr;
      fetched_reader.emplace(ByteSource(fetched), open->file.reader.archive(),
                             std::vector<uint8_t>());
      fetched_pool.emplace(*fetched_reader);
    }
    ReaderPool& pool = fetched_pool ? *fetched_pool : open->pool;
    HeldBuffer buffer;
    if (!buffer.take(out)) return nullptr;
    const char* format = buffer.view().format;
    if (format == nullptr || std::string_view(format) != "d" ||
        buffer.view().len % static_cast<Py_ssize_t>(sizeof(double)) != 0) {
      PyErr_SetString(PyExc_ValueError, "out must be C-contiguous float64");
      return nullptr;
    }
    const RowRead request{
        std::string_view(channel, static_cast<size_t>(channel_length)),
        segments,
        std::string_view(unit, static_cast<size_t>(unit_length)),
        row_start,
        row_step,
        static_cast<uint64_t>(row_count),
        std::span<double>(static_cast<double*>(buffer.view().buf),
                          static_cast<size_t>(buffer.view().len) / sizeof(double)),
        std::max(threads, 1u)};
    // The lock is released for the read. Python runs signal handlers on its main thread only:
    // there the calling thread takes the lock back every few milliseconds to let them run, and
    // a handler that raises stops the read. Elsewhere it never waits for the lock mid-read,
    // which other threads running Python (a Dask scheduler) would hold.
    const int main_thread = on_main_thread();
    if (main_thread < 0) return nullptr;
    const bool handles_signals = main_thread == 1;
    bool interrupted = false;
    std::optional<Result<void>> read;
    {
      ReleasedLock released;
      auto keep_going = [&]() -> bool {
        if (!handles_signals) return true;
        interrupted = !released.check_signals();
        return !interrupted;
      };
      read.emplace(read_rows(open->file, pool, request, keep_going));
    }
    if (interrupted) return nullptr;  // the handler's exception is set
    if (!*read) {
      if (fetched) return raise_fetched_error(*fetched, std::move(*read).error());
      return raise_engine_error(std::move(*read).error());
    }
    Py_RETURN_NONE;
  });
}

// reading_threads(): the threads reading rows in this process now, calling threads included.
PyObject* engine_reading_threads(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLong(reading_thread_count());
}

PyObject* archive_close(PyObject* self, PyObject*) {
  // Returns at once: reads running on other threads hold their own share of the open file,
  // which closes when the last of them ends.
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

// non_deflate_header(path): [(member name, method)] of the header member when it is no DEFLATE
// stream; for explaining why a file could not be opened.
PyObject* engine_non_deflate_header(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* converted = nullptr;  // a new reference to bytes once converted
    if (!PyArg_ParseTuple(args, "O&:non_deflate_header", PyUnicode_FSConverter, &converted)) {
      return nullptr;
    }
    PyRef path_bytes = PyRef::steal(converted);
    std::string path(PyBytes_AS_STRING(path_bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(path_bytes.get())));
    std::optional<Result<std::vector<MemberMethod>>> found;
    {
      const ReleasedLock released;
      found.emplace(non_deflate_header(path));
    }
    if (!*found) return raise_engine_error(std::move(*found).error());
    return methods_to_py(**found);
  });
}

PyMethodDef archive_methods[] = {
    {"info", archive_info, METH_NOARGS,
     "info()\n--\n\n(records, [(name, data type, base unit, units, {segment: members})])"},
    {"channel_info", archive_channel_info, METH_VARARGS,
     "channel_info(name)\n--\n\n(name, data type, base unit, units, {segment: count}, {segment: "
     "(fewest, most, short positions)}) of one channel, or None"},
    {"sample_counts", archive_sample_counts, METH_NOARGS,
     "sample_counts()\n--\n\n{channel: {segment: (fewest, most, short positions)}}"},
    {"non_deflate_members", archive_non_deflate_members, METH_VARARGS,
     "non_deflate_members(channel, segments, limit)\n--\n\n"
     "[(member name, method)] of the channel's members that are no DEFLATE streams."},
    {"header_items", archive_header_items, METH_NOARGS,
     "header_items()\n--\n\nEvery header value as (dotted key, value)."},
    {"header_walk", archive_header_walk, METH_VARARGS,
     "header_walk(prefix)\n--\n\nThe header's nodes in natural order as (depth, name, value or "
     "None)."},
    {"side", archive_side, METH_VARARGS,
     "side(channel, segment)\n--\n\nThe side of the square grid of the channel's segment."},
    {"plan", archive_plan, METH_VARARGS,
     "plan(channel, segments, row_start, row_step, row_count, max_gap, max_block)\n--\n\n"
     "The merged byte ranges [(offset, length)] that a read of those rows needs."},
    {"index_slice", archive_index_slice, METH_VARARGS,
     "index_slice(channel, segments, version)\n--\n\n"
     "The channel's members in those segments, with the header, size and version, as bytes."},
    {"size", archive_size, METH_NOARGS, "size()\n--\n\nThe length of the archive."},
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

PyMethodDef engine_functions[] = {
    {"reading_threads", engine_reading_threads, METH_NOARGS,
     "reading_threads()\n--\n\nThe threads reading rows in this process now."},
    {"directory_range", engine_directory_range, METH_VARARGS,
     "directory_range(size, pieces)\n--\n\n"
     "(offset, length) of the central directory, from pieces that hold the end records."},
    {"open_fetched", engine_open_fetched, METH_VARARGS,
     "open_fetched(location, size, pieces)\n--\n\nAn Archive over fetched pieces."},
    {"open_slice", engine_open_slice, METH_VARARGS,
     "open_slice(location, size, version, blob)\n--\n\n"
     "An Archive whose index holds only the members of an index slice."},
    {"non_deflate_header", engine_non_deflate_header, METH_VARARGS,
     "non_deflate_header(path)\n--\n\n"
     "[(member name, method)] of the header member when it is no DEFLATE stream."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef engine_module = {PyModuleDef_HEAD_INIT,
                             "zel_data_tools._engine",
                             "The tools' native reader of Zel data files.",
                             -1,
                             engine_functions,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

}  // namespace zel

PyMODINIT_FUNC PyInit__engine() {
  zel::PyRef module = zel::PyRef::steal(PyModule_Create(&zel::engine_module));
  if (!module) return nullptr;
  if (!zel::prepare_row_reads_for_fork()) {
    PyErr_SetString(PyExc_OSError, "cannot register the engine's fork handlers");
    return nullptr;
  }
  if (!zel::add_engine_error_type(module.get())) return nullptr;
  if (!zel::create_header_walk_type()) return nullptr;
  if (zel::main_thread_function == nullptr) {
    zel::PyRef threading = zel::PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) return nullptr;
    zel::main_thread_function = PyObject_GetAttrString(threading.get(), "main_thread");
    if (zel::main_thread_function == nullptr) return nullptr;
  }
  zel::PyRef type = zel::PyRef::steal(PyType_FromSpec(&zel::archive_spec));
  if (!type) return nullptr;
  zel::archive_type = type.get();  // the module keeps it alive for the process
  if (PyModule_AddObject(module.get(), "Archive", type.get()) < 0) return nullptr;
  (void)type.release();  // PyModule_AddObject stole it
  if (zel::missing_bytes_type == nullptr) {
    zel::missing_bytes_type =
        PyErr_NewException("zel_data_tools._engine.MissingBytes", PyExc_Exception, nullptr);
    if (zel::missing_bytes_type == nullptr) return nullptr;
  }
  Py_INCREF(zel::missing_bytes_type);
  if (PyModule_AddObject(module.get(), "MissingBytes", zel::missing_bytes_type) < 0) {
    Py_DECREF(zel::missing_bytes_type);
    return nullptr;
  }
  return module.release();
}

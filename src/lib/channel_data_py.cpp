// Reading one channel of one segment: every member whose name ends in
// "/{segment}/channels/{name}.dat" is inflated and decoded straight into one flat buffer of
// doubles, which becomes the memory of the returned (side, side, 100) array without a copy.
#include "lib/channel_data_py.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "header/number_format.hpp"
#include "header/stdout_writer.hpp"
#include "lib/bytes.hpp"
#include "lib/numpy_api_py.hpp"

namespace zel {

namespace {

constexpr size_t kBlock = 100;  // values per grid position, NaN-filled when a member has fewer
constexpr const char* kCapsuleName = "zel_data_reader.channel_data";

struct FreeDeleter {
  void operator()(void* memory) const noexcept { std::free(memory); }
};
using Buffer = std::unique_ptr<double[], FreeDeleter>;

// Values a member contributes to the flat buffer.
uint64_t block_length(const MemberLocator& member) {
  return std::max<uint64_t>(kBlock, member.uncompressed_size / 4);
}

// raw * multiplier + offset, each operation rounded on its own (built with -ffp-contract=off).
template <bool Float>
void decode(const uint8_t* bytes, size_t count, double multiplier, double offset, double* out) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word = be32(bytes + 4 * i);
    const double raw = Float ? static_cast<double>(std::bit_cast<float>(word))
                             : static_cast<double>(std::bit_cast<int32_t>(word));
    out[i] = raw * multiplier + offset;
  }
}

// Whether a raw member name ends with the suffix. Called for every record of the directory, so
// the suffix's last eight bytes (it is never shorter) are compared first, as one word.
class SuffixTest {
 public:
  explicit SuffixTest(std::string_view suffix) : suffix_(suffix) {
    std::memcpy(&tail_, suffix.data() + suffix.size() - sizeof tail_, sizeof tail_);
  }
  bool operator()(std::string_view name) const {
    if (name.size() < suffix_.size()) return false;
    uint64_t tail;
    std::memcpy(&tail, name.data() + name.size() - sizeof tail, sizeof tail);
    return tail == tail_ && name.ends_with(suffix_);
  }

 private:
  std::string_view suffix_;
  uint64_t tail_;
};

// "TypeName: str(exception)" of the pending Python exception, which is cleared.
std::string pending_exception_text() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
        owned_traceback = PyRef::steal(traceback);
  std::string text = "<unknown exception>";
  if (owned_type) {
    PyRef qualname = PyRef::steal(PyObject_GetAttrString(owned_type.get(), "__qualname__"));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    text = name != nullptr ? name : reinterpret_cast<PyTypeObject*>(owned_type.get())->tp_name;
    PyErr_Clear();
  }
  text += ": ";
  PyRef str = PyRef::steal(PyObject_Str(owned_value.get()));
  if (!str) {
    PyErr_Clear();
    return text + "<exception str() failed>";
  }
  Py_ssize_t length = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &length)) {
    return text.append(utf8, static_cast<size_t>(length));
  }
  // Lone surrogates cannot be UTF-8: each becomes U+FFFD.
  PyErr_Clear();
  const Py_ssize_t count = PyUnicode_GetLength(str.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_UCS4 c = PyUnicode_ReadChar(str.get(), i);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      text += static_cast<char>(0xE0 | (c >> 12));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (c >> 18));
      text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// Hands `values` doubles to NumPy as a one-dimensional array that owns them through a capsule.
Result<PyRef> wrap_buffer(Buffer values, uint64_t count) {
  PyRef capsule = PyRef::steal(PyCapsule_New(values.get(), kCapsuleName, [](PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kCapsuleName));
  }));
  if (!capsule) return error::Numpy{pending_exception_text()};
  double* data = values.release();  // owned by the capsule from here on
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  PyRef array =
      PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1, dims,
                                        nullptr, data, NPY_ARRAY_CARRAY, nullptr));
  if (!array) return error::Numpy{pending_exception_text()};
  // Steals the capsule, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
    return error::Numpy{pending_exception_text()};
  }
  return array;
}

}  // namespace

Result<PyRef> read_channel_data(ZelDataFIle& file, std::string_view name, uint8_t segment,
                                std::string_view unit_type) {
  auto conversion = file.header.convert_to_type(name, unit_type);
  if (!conversion) return std::move(conversion).error();
  const double offset = conversion->offset, multiplier = conversion->multiplier;
  const bool float_data = conversion->data_type == "float-data";

  std::string suffix;
  suffix.append("/")
      .append(std::to_string(segment))
      .append("/channels/")
      .append(name)
      .append(".dat");
  auto members = file.reader.find_members(SuffixTest(suffix));
  if (!members) return std::move(members).error();
  if (members->empty()) return error::NoFile{std::move(suffix)};

  // The buffer is sized once from the recorded sizes, which every member read checks exactly.
  constexpr uint64_t kMaxValues = std::numeric_limits<size_t>::max() / sizeof(double);
  uint64_t total = 0;
  for (const MemberLocator& member : *members) {
    // A member that fails these checks is reported by read_members in its turn, after every
    // member before it has been read: the buffer need only hold those.
    if (!file.reader.check_member(member)) break;
    // Members may claim sizes whose sum no buffer can hold (several records can point at the
    // same data); stop adding before the sum could overflow.
    total += std::min(block_length(member), kMaxValues + 1);
    if (total > kMaxValues) return io_error("cannot allocate the values of a channel this large");
  }
  Buffer values(static_cast<double*>(
      std::malloc(std::max<size_t>(static_cast<size_t>(total), 1) * sizeof(double))));
  if (!values)
    return io_error("cannot allocate " + std::to_string(total) + " values for a channel");

  const double fill = std::bit_cast<double>(uint64_t{0x7FF8000000000000});
  double* out = values.get();
  auto decode_member = [&](size_t, std::span<const uint8_t> contents) -> Result<void> {
    const size_t count = contents.size() / 4;
    if (float_data) {
      decode<true>(contents.data(), count, multiplier, offset, out);
    } else {
      decode<false>(contents.data(), count, multiplier, offset, out);
    }
    if (count < kBlock) std::fill(out + count, out + kBlock, fill);
    out += std::max(kBlock, count);
    return {};
  };
  if (auto read = file.reader.read_members(*members, decode_member); !read) {
    return std::move(read).error();
  }

  write_stdout(format_double(values[1]) + "\n");

  auto flat = wrap_buffer(std::move(values), total);
  if (!flat) return std::move(flat).error();
  const uint64_t count = members->size();
  auto side = static_cast<uint64_t>(std::sqrt(static_cast<double>(count)));
  while (side * side > count) --side;
  while ((side + 1) * (side + 1) <= count) ++side;
  npy_intp shape[3] = {static_cast<npy_intp>(side), static_cast<npy_intp>(side),
                       static_cast<npy_intp>(kBlock)};
  PyArray_Dims dims = {shape, 3};
  PyRef grid = PyRef::steal(
      PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat->get()), &dims, NPY_ANYORDER));
  if (!grid) return error::Numpy{pending_exception_text()};
  return grid;
}

}  // namespace zel

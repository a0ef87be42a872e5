// The channel's flat buffer of doubles handed to NumPy without a copy, as a (side, side, 100)
// array.
#include "python/channel_data_py.hpp"

#include <string>
#include <variant>

#include "python/numpy_api_py.hpp"
#include "reader/channel_data.hpp"

namespace zel {

namespace {

constexpr const char* kCapsuleName = "zel_data_reader.channel_data";

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

// Hands the grid's doubles to NumPy as a one-dimensional array that owns them through a capsule.
Result<PyRef> wrap_buffer(DoubleBuffer values) {
  const auto count = static_cast<npy_intp>(values.size());
  PyRef capsule = PyRef::steal(PyCapsule_New(values.data(), kCapsuleName, [](PyObject* owner) {
    std::free(PyCapsule_GetPointer(owner, kCapsuleName));
  }));
  if (!capsule) return error::Numpy{pending_exception_text()};
  double* data = values.release();  // owned by the capsule from here on
  npy_intp dims[1] = {count};
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

// A read-only one-dimensional array of `count` elements that all read one static double: it
// stands in for values that were not kept, at their full size, without their memory.
Result<PyRef> stand_in(uint64_t count) {
  static const double kNothing = 0;
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  npy_intp strides[1] = {0};
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64),
                                                  1, dims, strides, const_cast<double*>(&kNothing),
                                                  0, nullptr));  // not writeable: flags 0
  if (!array) return error::Numpy{pending_exception_text()};
  return array;
}

// The flat array of a channel's values: the grid's own, or the stand-in for values not kept.
struct FlatArray {
  Result<PyRef> operator()(GridValues& grid) const { return wrap_buffer(std::move(grid.values)); }
  Result<PyRef> operator()(const TooManyValues& too_many) const { return stand_in(too_many.count); }
};

}  // namespace

Result<PyRef> read_channel_data(ZelDataFIle& file, std::string_view name, uint8_t segment,
                                std::string_view unit_type) {
  ZEL_ASSIGN_OR_RETURN(ChannelData channel, read_channel(file, name, segment, unit_type));
  const uint64_t side = std::visit([](const auto& values) { return values.side; }, channel);
  ZEL_ASSIGN_OR_RETURN(const PyRef flat, std::visit(FlatArray{}, channel));
  // NumPy's reshape gives the error when the values do not fill the grid, which values not
  // laid out on it never do.
  npy_intp shape[3] = {static_cast<npy_intp>(side), static_cast<npy_intp>(side),
                       static_cast<npy_intp>(kBlockValues)};
  PyArray_Dims dims = {shape, 3};
  PyRef grid = PyRef::steal(
      PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &dims, NPY_ANYORDER));
  if (!grid) return error::Numpy{pending_exception_text()};
  return grid;
}

}  // namespace zel

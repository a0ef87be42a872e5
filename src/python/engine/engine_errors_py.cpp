// ZelError -> EngineError, with the error's kind and subject as fields.
#include "python/engine/engine_errors_py.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python/py_ref.hpp"

namespace zel {

namespace {

// Kept for the life of the process, as the module is.
PyObject* engine_error_type = nullptr;

// The kind's name and what the error is about, for Python to word.
struct Fields {
  const char* kind;
  std::optional<std::string> subject;
};

struct FieldsOf {
  Fields operator()(const error::Io& e) const {
    return {e.os_error != 0 ? "os" : "io", std::nullopt};
  }
  Fields operator()(const error::Zip&) const { return {"zip", std::nullopt}; }
  Fields operator()(const error::Numpy&) const { return {"values", std::nullopt}; }
  Fields operator()(const error::InvalidHeaderLine& e) const { return {"header_line", e.line}; }
  Fields operator()(const error::InvalidNodeVariant& e) const { return {"node_variant", e.exp}; }
  Fields operator()(const error::InvalidUtf8Header&) const { return {"header_utf8", {}}; }
  Fields operator()(const error::HeaderMissingKey& e) const { return {"missing_key", e.key}; }
  Fields operator()(const error::NoFile& e) const { return {"no_member", e.id}; }
  Fields operator()(const error::InvalidChannel& e) const { return {"no_channel", e.channel}; }
  Fields operator()(const error::ParseFloatError&) const { return {"number", std::nullopt}; }
  Fields operator()(const error::ConversionCycle& e) const { return {"unit_cycle", e.unit}; }
  Fields operator()(const error::NotAGrid& e) const { return {"grid", e.channel}; }
  Fields operator()(const error::OutsideGrid&) const { return {"rows", std::nullopt}; }
  Fields operator()(const error::WrongBuffer&) const { return {"buffer", std::nullopt}; }
};

PyObject* text_object(std::string_view text) {
  // Texts from the file are checked UTF-8 and arguments come from str; a byte that is not
  // UTF-8 all the same is replaced rather than lost with the error.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

bool add_engine_error_type(PyObject* module) noexcept {
  if (engine_error_type == nullptr) {
    engine_error_type = PyErr_NewExceptionWithDoc(
        "zel_data_tools._engine.EngineError",
        "An error of the engine about a file: kind, subject and, where the system refused, "
        "errno.",
        PyExc_OSError, nullptr);
    if (engine_error_type == nullptr) return false;
  }
  Py_INCREF(engine_error_type);
  if (PyModule_AddObject(module, "EngineError", engine_error_type) < 0) {
    Py_DECREF(engine_error_type);
    return false;
  }
  return true;
}

PyObject* raise_engine_error(ZelError&& error) {
  const ZelError owned = std::move(error);
  if (std::holds_alternative<error::OutsideGrid>(owned) ||
      std::holds_alternative<error::WrongBuffer>(owned)) {
    const std::string text = message(owned);
    PyErr_SetString(
        std::holds_alternative<error::OutsideGrid>(owned) ? PyExc_IndexError : PyExc_ValueError,
        text.c_str());
    return nullptr;
  }
  const Fields fields = std::visit(FieldsOf{}, owned);
  PyRef exception;
  if (const auto* io = std::get_if<error::Io>(&owned); io != nullptr && io->os_error != 0) {
    // OSError(errno, strerror): the number is a field, not a part of the text.
    PyRef text = PyRef::steal(text_object(strerror_text(io->os_error)));
    if (!text) return nullptr;
    exception =
        PyRef::steal(PyObject_CallFunction(engine_error_type, "iO", io->os_error, text.get()));
  } else {
    PyRef text = PyRef::steal(text_object(message(owned)));
    if (!text) return nullptr;
    exception = PyRef::steal(PyObject_CallOneArg(engine_error_type, text.get()));
  }
  if (!exception) return nullptr;
  PyRef kind = PyRef::steal(PyUnicode_FromString(fields.kind));
  PyRef subject =
      fields.subject ? PyRef::steal(text_object(*fields.subject)) : PyRef::borrow(Py_None);
  if (!kind || !subject || PyObject_SetAttrString(exception.get(), "kind", kind.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "subject", subject.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(engine_error_type, exception.get());
  return nullptr;
}

void raise_engine_fault(const char* description) noexcept {
  PyErr_Format(PyExc_SystemError, "internal fault in zel_data_tools._engine: %s", description);
}

}  // namespace zel

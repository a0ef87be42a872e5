// Message texts of every ZelError kind.
#include "error/zel_error.hpp"

#include <cstring>

namespace zel {

const char* node_kind_name(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Map:
      return "Map";
    case NodeKind::Value:
      return "Value";
    case NodeKind::Number:
      return "Number";
  }
  return "Number";
}

namespace {

// GNU strerror_r returns the text, which may be a static string instead of the buffer; the XSI
// one (macOS, the BSDs, musl) returns 0 once it has filled the buffer.
[[maybe_unused]] const char* text_of(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* text_of(int returned, const char* buffer) {
  return returned == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string strerror_text(int os_error) {
  char buffer[256];
#if defined(_WIN32)
  const char* text = strerror_s(buffer, sizeof buffer, os_error) == 0 ? buffer : "Unknown error";
#else
  const char* text = text_of(strerror_r(os_error, buffer, sizeof buffer), buffer);
#endif
  return text;
}

std::string os_error_text(int os_error) {
  return strerror_text(os_error) + " (os error " + std::to_string(os_error) + ")";
}

namespace {

struct MessageOf {
  std::string operator()(const error::Io& e) const {
    return e.os_error != 0 ? os_error_text(e.os_error) : e.text;
  }
  std::string operator()(const error::Zip& e) const { return e.text; }
  std::string operator()(const error::Numpy& e) const { return e.text; }
  std::string operator()(const error::InvalidHeaderLine& e) const {
    return "invalid header line " + e.line + " (" + e.reason + ")";
  }
  std::string operator()(const error::InvalidNodeVariant& e) const {
    return "Expected vrariant " + e.exp + " got (" + node_kind_name(e.got) + ")";
  }
  std::string operator()(const error::InvalidUtf8Header& e) const {
    return "Header is invalid utf8, " + e.err + ".";
  }
  std::string operator()(const error::HeaderMissingKey& e) const {
    return "Expected header to have key " + e.key + " but it did not.";
  }
  std::string operator()(const error::NoFile& e) const {
    return "Expected File " + e.id + ", but this file was not present in the archive.";
  }
  std::string operator()(const error::InvalidChannel& e) const {
    return "No such such Channel:  " + e.channel;
  }
  std::string operator()(const error::ParseFloatError& e) const {
    return e.empty ? "cannot parse float from empty string" : "invalid float literal";
  }
  std::string operator()(const error::ConversionCycle& e) const {
    return "Conversion chain of unit " + e.unit + " loops and never reaches the base unit " +
           e.base + ".";
  }
  std::string operator()(const error::NotAGrid& e) const {
    std::string text = "segment " + std::to_string(e.segment) + " of channel " + e.channel +
                       " has " + std::to_string(e.members) + " members, ";
    if (e.expected_side == 0) return text + "which is no square grid";
    return text + "not the " + std::to_string(e.expected_side * e.expected_side) +
           " of the grid of the first segment read";
  }
  std::string operator()(const error::OutsideGrid& e) const {
    return "rows lie outside the grid's " + std::to_string(e.side) + " rows";
  }
  std::string operator()(const error::WrongBuffer& e) const {
    return "out must be C-contiguous float64 with " + std::to_string(e.values) + " values";
  }
};

}  // namespace

std::string message(const ZelError& error) { return std::visit(MessageOf{}, error); }

}  // namespace zel

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

std::string os_error_text(int os_error) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(os_error, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(os_error) + ")";
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
};

}  // namespace

std::string message(const ZelError& error) { return std::visit(MessageOf{}, error); }

}  // namespace zel

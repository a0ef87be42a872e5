// ZelError: the module's one error type, a tagged union of one struct per kind.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "error/node_kind.hpp"

namespace zel {

namespace error {

// An I/O failure: an operating-system error number (os_error != 0), or a failure that
// carries its own text.
struct Io {
  int os_error = 0;
  std::string text;
};
// A failure of the archive layer: locating the archive, walking its directory, local headers.
struct Zip {
  std::string text;
};
// A failure of the array library, kept as "TypeName: str(exception)" built where it happened,
// so that no Python object outlives the interpreter call that raised it.
struct Numpy {
  std::string text;
};
struct InvalidHeaderLine {
  std::string line;
  const char* reason;  // static text
};
struct InvalidNodeVariant {
  std::string exp;
  NodeKind got;
};
struct InvalidUtf8Header {
  std::string err;
};
struct HeaderMissingKey {
  std::string key;
};
struct NoFile {
  std::string id;
};
struct InvalidChannel {
  std::string channel;
};
struct ParseFloatError {
  bool empty;  // the text was empty; otherwise it was not a valid literal
};
// A conversion chain whose slots loop and so never reach the base unit.
struct ConversionCycle {
  std::string unit;
  std::string base;
};

// The members of a channel's segment that fill no square grid (expected_side == 0), or another
// grid than the first segment read with it.
struct NotAGrid {
  std::string channel;
  uint8_t segment;
  uint64_t members;
  uint64_t expected_side;
};
// Grid rows asked of a grid that does not have them: a caller's mistake, not the file's.
struct OutsideGrid {
  uint64_t side;
};
// A caller's buffer that does not hold exactly the values a read fills.
struct WrongBuffer {
  uint64_t values;
};

}  // namespace error

using ZelError =
    std::variant<error::Io, error::Zip, error::Numpy, error::InvalidHeaderLine,
                 error::InvalidNodeVariant, error::InvalidUtf8Header, error::HeaderMissingKey,
                 error::NoFile, error::InvalidChannel, error::ParseFloatError,
                 error::ConversionCycle, error::NotAGrid, error::OutsideGrid, error::WrongBuffer>;

// The message text of an error; never fails.
std::string message(const ZelError& error);

// "text of the error number (os error N)", as every message about an operating-system error
// says it; thread-safe.
std::string os_error_text(int os_error);
// The system's text of the error number alone; thread-safe.
std::string strerror_text(int os_error);

// Shorthands for the two Io forms.
inline ZelError io_errno(int os_error) { return error::Io{os_error, {}}; }
inline ZelError io_error(std::string text) { return error::Io{0, std::move(text)}; }
inline ZelError zip_error(std::string text) { return error::Zip{std::move(text)}; }

}  // namespace zel

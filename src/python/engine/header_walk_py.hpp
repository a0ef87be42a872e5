// zel_data_tools._engine.HeaderWalk: an iterator over an open file's header, in natural order.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "python/engine/open_archive.hpp"

namespace zel {

// Creates the HeaderWalk type once; false with an exception set on failure.
bool create_header_walk_type() noexcept;

// Returns a new reference: an iterator of (depth, name, value or None) over the header of
// `open`, which it keeps open, limited to keys that begin with `prefix`.
PyObject* new_header_walk(std::shared_ptr<OpenArchive> open, std::string prefix);

}  // namespace zel

// OpenArchive: an open data file and the readers over it, shared by the engine's objects.
#pragma once

#include <utility>

#include "reader/data_file.hpp"
#include "reader/row_reads.hpp"

namespace zel {

// It stays where it was built (the pool refers to the file's reader), and lives while the
// Python object or a running read or walk holds it.
struct OpenArchive {
  explicit OpenArchive(ZelDataFIle opened) : file(std::move(opened)), pool(file.reader) {}
  ZelDataFIle file;
  ReaderPool pool;
};

}  // namespace zel

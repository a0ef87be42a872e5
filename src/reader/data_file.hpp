// ZelDataFIle: the state behind the Python class, an open archive and its parsed header.
#pragma once

#include <string>

#include "error/result.hpp"
#include "header/zel_header.hpp"
#include "archive/zip_reader.hpp"

namespace zel {

struct ZelDataFIle {
  std::string location;  // the path as the file-system encoding gives it
  ZipReader reader;
  ZelHeader header;

  // Opens the archive at `location`, reads its header member and parses it.
  static Result<ZelDataFIle> create(std::string location);
  // The first member named exactly "shared-data/header.properties", checked and parsed.
  static Result<ZelHeader> read_header(ZipReader& reader);
};

}  // namespace zel

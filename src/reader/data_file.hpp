// ZelDataFIle: the state behind the Python class, an open archive and its parsed header.
#pragma once

#include <span>
#include <string>

#include "archive/member_index.hpp"
#include "archive/zip_reader.hpp"
#include "error/result.hpp"
#include "header/zel_header.hpp"

namespace zel {

struct ZelDataFIle {
  std::string location;  // the path as the file-system encoding gives it
  ZipReader reader;
  MemberIndex members;  // channel data members by their suffixes, from the constructor's walk
  ZelHeader header;

  // Opens the archive at `location`, indexes its channel data members and reads and parses its
  // header member, all from one walk of the central directory.
  static Result<ZelDataFIle> create(std::string location);
  // The first of the members named exactly "shared-data/header.properties", checked and
  // parsed; every one of them is read and verified.
  static Result<ZelHeader> read_header(ZipReader& reader,
                                       std::span<const MemberLocator> header_members);
};

}  // namespace zel

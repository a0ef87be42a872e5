// ZelDataFIle: the state behind the Python class, an open archive and its parsed header.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "archive/member_index.hpp"
#include "archive/zip_reader.hpp"
#include "error/result.hpp"
#include "header/zel_header.hpp"

namespace zel {

// The member that holds the header; a data file has at least one.
inline constexpr std::string_view kHeaderMember = "shared-data/header.properties";

struct ZelDataFIle {
  std::string location;  // the path as the file-system encoding gives it
  ZipReader reader;
  MemberIndex members;  // channel data members by their suffixes, from the constructor's walk
  ZelHeader header;
  std::string header_text;  // the header member's contents, as parsed into `header`

  // Opens the archive at `location`, indexes its channel data members and reads and parses its
  // header member, all from one walk of the central directory.
  static Result<ZelDataFIle> create(std::string location);
  // The same from bytes of any source (an open file, or pieces of a remote object); `location`
  // names it.
  static Result<ZelDataFIle> from_source(std::string location, ByteSource source);
  // The contents of the first of the members named exactly "shared-data/header.properties",
  // checked to be UTF-8; every one of them is read and verified.
  static Result<std::string> read_header(ZipReader& reader,
                                         std::span<const MemberLocator> header_members);
};

}  // namespace zel

// ZelDataFIle: the state behind the Python class, an open archive and its parsed header.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "archive/zip_reader.hpp"
#include "error/result.hpp"
#include "header/zel_header.hpp"
#include "reader/channel_index.hpp"

namespace zel {

// The member that holds the header; a data file has at least one.
inline constexpr std::string_view kHeaderMember = "shared-data/header.properties";

// When a file's channel data members are filed: by the open's own walk of the directory, for a
// reader that will ask for counts of every channel at once, or at the first ask (ChannelIndex),
// so that an open costs one plain walk.
enum class MemberFiling { kAtOpen, kWhenAsked };

struct ZelDataFIle {
  std::string location;  // the path as the file-system encoding gives it
  ZipReader reader;
  ChannelIndex members;  // channel data members by their suffixes, filed when first asked for
  ZelHeader header;
  std::string header_text;  // the header member's contents, as parsed into `header`

  // Opens the archive at `location`: walks its central directory once, checking every record's
  // framing, finding the header member and, kAtOpen, filing the channel data members; then reads
  // and parses the header.
  static Result<ZelDataFIle> create(std::string location, MemberFiling filing);
  // The same from bytes of any source (an open file, or pieces of a remote object); `location`
  // names it.
  static Result<ZelDataFIle> from_source(std::string location, ByteSource source,
                                         MemberFiling filing);
  // The contents of the first of the members named exactly "shared-data/header.properties",
  // checked to be UTF-8; every one of them is read and verified.
  static Result<std::string> read_header(ZipReader& reader,
                                         std::span<const MemberLocator> header_members);

  // The channel data members filed under `suffix` (ChannelIndex::find).
  Result<std::span<const MemberLocator>> channel_members(std::string_view suffix) const {
    return members.find(reader.source(), reader.archive(), suffix);
  }
  // How many members are filed under `suffix` (ChannelIndex::count).
  Result<size_t> channel_member_count(std::string_view suffix) const {
    return members.count(reader.source(), reader.archive(), suffix);
  }
  // Files every channel data member now, for a caller about to ask for every channel.
  Result<void> file_every_member() const {
    return members.file_all(reader.source(), reader.archive());
  }
};

}  // namespace zel

// Constructing a ZelDataFIle: open, locate the archive, walk its directory once for the header
// member and the index of channel data members, then read and parse the header.
#include "reader/data_file.hpp"

#include <vector>

#include "reader/channel_members.hpp"
#include "reader/utf8.hpp"

namespace zel {

namespace {
constexpr std::string_view kHeaderMember = "shared-data/header.properties";
}  // namespace

Result<ZelHeader> ZelDataFIle::read_header(ZipReader& reader,
                                           std::span<const MemberLocator> header_members) {
  std::vector<uint8_t> contents;
  auto keep_first = [&contents](size_t index, std::span<const uint8_t> bytes) -> Result<void> {
    if (index == 0) contents.assign(bytes.begin(), bytes.end());
    return {};
  };
  // Later members of the same name are read and verified all the same: a damaged duplicate
  // fails the construction.
  if (auto read = reader.read_members(header_members, keep_first); !read) {
    return std::move(read).error();
  }
  if (header_members.empty()) return error::NoFile{"shared-data header"};
  const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
  if (auto fault = utf8_fault(text)) return error::InvalidUtf8Header{std::move(*fault)};
  return ZelHeader::from_str(text);
}

Result<ZelDataFIle> ZelDataFIle::create(std::string location) {
  auto file = File::open_read_only(location);
  if (!file) return std::move(file).error();
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  auto archive = ZipReader::locate(*file, buffer);
  if (!archive) return std::move(archive).error();
  ZipReader reader(std::move(*file), *archive, std::move(buffer));

  auto pick = [](std::string_view name, std::vector<uint32_t>& starts) {
    channel_suffix_starts(name, starts);
  };
  MemberIndexBuilder index(pick, reader.likely_members());
  auto header_members = reader.find_members(
      [](std::string_view name) { return name == kHeaderMember; }, &index);
  if (!header_members) return std::move(header_members).error();
  MemberIndex members = std::move(index).finish();
  auto header = read_header(reader, *header_members);
  if (!header) return std::move(header).error();
  return ZelDataFIle{std::move(location), std::move(reader), std::move(members),
                     std::move(*header)};
}

}  // namespace zel

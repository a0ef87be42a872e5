// Constructing a ZelDataFIle: open, locate the archive, walk its directory once for the header
// member, then read and parse the header. Channel data members are filed when first asked for.
#include "reader/data_file.hpp"

#include <new>
#include <optional>
#include <vector>

#include "archive/zip_format.hpp"
#include "reader/channel_members.hpp"
#include "reader/utf8.hpp"

namespace zel {

Result<std::string> ZelDataFIle::read_header(ZipReader& reader,
                                             std::span<const MemberLocator> header_members) {
  std::vector<uint8_t> contents;
  auto keep_first = [&contents](size_t index, std::span<const uint8_t> bytes) -> Result<void> {
    if (index != 0) return {};
    try {
      contents.assign(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
      return member_allocation_error(bytes.size());
    }
    return {};
  };
  // Later members of the same name are read and verified all the same: a damaged duplicate
  // fails the construction.
  ZEL_TRY(reader.read_members(header_members, keep_first));
  if (header_members.empty()) return error::NoFile{"shared-data header"};
  const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
  if (auto fault = utf8_fault(text)) return error::InvalidUtf8Header{std::move(*fault)};
  try {
    return std::string(text);
  } catch (const std::bad_alloc&) {
    return member_allocation_error(text.size());
  }
}

Result<ZelDataFIle> ZelDataFIle::create(std::string location, MemberFiling filing) {
  ZEL_ASSIGN_OR_RETURN(File file, File::open_read_only(location));
  return from_source(std::move(location), std::move(file), filing);
}

Result<ZelDataFIle> ZelDataFIle::from_source(std::string location, ByteSource source,
                                             MemberFiling filing) {
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  ZEL_ASSIGN_OR_RETURN(const ArchiveInfo archive, ZipReader::locate(source, buffer));
  ZipReader reader(std::move(source), archive, std::move(buffer));

  auto is_header = [](std::string_view name) { return name == kHeaderMember; };
  std::vector<MemberLocator> header_members;
  std::optional<ChannelIndex> members;
  if (filing == MemberFiling::kAtOpen) {
    auto pick = [](std::string_view name, std::vector<uint32_t>& starts) {
      channel_suffix_starts(name, starts);
    };
    MemberIndexBuilder index(pick);
    ZEL_ASSIGN_OR_RETURN(header_members, reader.find_members(is_header, nullptr, &index));
    ZEL_ASSIGN_OR_RETURN(MemberIndex filed, std::move(index).finish());
    try {
      members.emplace(ChannelIndex::filed(std::move(filed)));
    } catch (const std::bad_alloc&) {
      return io_error("cannot allocate the index of the archive's members");
    }
  } else {
    uint64_t records = 0;
    ZEL_ASSIGN_OR_RETURN(header_members, reader.find_members(is_header, &records));
    members.emplace(ChannelIndex::deferred(archive, records));
  }
  ZEL_ASSIGN_OR_RETURN(std::string header_text, read_header(reader, header_members));
  ZEL_ASSIGN_OR_RETURN(ZelHeader header, ZelHeader::from_str(header_text));
  return ZelDataFIle{std::move(location), std::move(reader), std::move(*members), std::move(header),
                     std::move(header_text)};
}

}  // namespace zel

// Finding members that are not DEFLATE streams: the core reads DEFLATE only, and a stored
// member fails as a corrupt stream, which says nothing of why.
#include "reader/member_methods.hpp"

#include <array>
#include <new>

#include "archive/bytes.hpp"
#include "archive/zip_format.hpp"
#include "reader/channel_members.hpp"

namespace zel {

namespace {

using NamePredicate = FunctionRef<bool(std::string_view name)>;

// The members that pass `wanted` and are no DEFLATE streams, walking `reader`'s directory.
Result<std::vector<MemberMethod>> scan(ZipReader& reader, NamePredicate wanted, size_t limit) {
  try {
    // The names of the members found, in the order find_members returns their locators.
    std::vector<std::string> names;
    auto filter = [&](std::string_view name) {
      if (!wanted(name)) return false;
      names.emplace_back(name);
      return true;
    };
    ZEL_ASSIGN_OR_RETURN(const std::vector<MemberLocator> members, reader.find_members(filter));
    std::vector<MemberMethod> found;
    std::array<uint8_t, local::kSize> fixed{};
    for (size_t i = 0; i < members.size() && i < names.size() && found.size() < limit; ++i) {
      const MemberLocator& member = members[i];
      if (member.fault != static_cast<uint32_t>(LocatorFault::kNone)) continue;
      // An empty stored member inflates to nothing and reads: it is not why a read failed.
      if (member.compressed_size == 0 && member.uncompressed_size == 0) continue;
      if (reader.source().read_at(member.local_header_offset, fixed) != 0) continue;
      if (le32(fixed, 0) != local::kSignature) continue;
      const uint16_t method = le16(fixed, local::kMethod);
      if (method != kMethodDeflate) found.push_back({std::move(names[i]), method});
    }
    return found;
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the list of a channel's members");
  }
}

}  // namespace

Result<std::vector<MemberMethod>> non_deflate_members(const ZelDataFIle& file,
                                                      std::string_view channel,
                                                      std::span<const uint8_t> segments,
                                                      size_t limit) {
  std::vector<std::string> suffixes;
  try {
    for (uint8_t segment : segments) suffixes.push_back(channel_suffix(segment, channel));
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the names of a channel's members");
  }
  auto wanted = [&](std::string_view name) {
    for (const std::string& suffix : suffixes) {
      if (name.ends_with(suffix)) return true;
    }
    return false;
  };
  ZEL_ASSIGN_OR_RETURN(ZipReader reader, file.reader.sibling());
  return scan(reader, wanted, limit);
}

Result<std::vector<MemberMethod>> non_deflate_header(const std::string& location) {
  auto opened = File::open_read_only(location);
  if (!opened) return std::vector<MemberMethod>{};
  ByteSource file(std::move(*opened));
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(ZipReader::kBufferSize);
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate a reader's buffer");
  }
  auto archive = ZipReader::locate(file, buffer);
  if (!archive) return std::vector<MemberMethod>{};
  ZipReader reader(std::move(file), *archive, std::move(buffer));
  auto header = [](std::string_view name) { return name == kHeaderMember; };
  auto found = scan(reader, header, 1);
  if (!found) return std::vector<MemberMethod>{};
  return found;
}

}  // namespace zel

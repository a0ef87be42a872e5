// Writing and reading index slices. Layout, little-endian:
//   8 bytes magic | u64 object size | u32 + bytes version | u32 + bytes header text
//   | u32 + bytes channel | u32 segment count | per segment: u8 segment, u32 member count,
//   then per member: u64 uncompressed size, u64 compressed size, u64 local header offset,
//   u32 CRC-32, u32 flags (name + extra length in the low 18 bits, a data descriptor in bit 18).
#include "reader/index_slice.hpp"

#include <array>
#include <cstring>
#include <new>

#include "archive/member_index.hpp"
#include "archive/zip_reader.hpp"
#include "reader/channel_members.hpp"
#include "reader/utf8.hpp"

namespace zel {

namespace {

constexpr std::array<uint8_t, 8> kMagic = {'Z', 'E', 'L', 'S', 'L', 'I', 'C', 1};
constexpr size_t kMemberBytes = 8 + 8 + 8 + 4 + 4;
constexpr uint32_t kLengthBits = 18;
constexpr uint32_t kDescriptorBit = 1u << 18;
constexpr uint32_t kKnownFlags = (1u << 19) - 1;

class Writer {
 public:
  void bytes(const void* data, size_t size) {
    const auto* at = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), at, at + size);
  }
  template <class T>
  void number(T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void text(std::string_view value) {
    number(static_cast<uint32_t>(value.size()));
    bytes(value.data(), value.size());
  }
  std::vector<uint8_t>& out() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

// Reads the blob front to back; every read checks that the bytes are there.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> blob) : rest_(blob) {}

  template <class T>
  bool number(T& value) {
    if (rest_.size() < sizeof(T)) return false;
    value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{rest_[i]} << (8 * i));
    rest_ = rest_.subspan(sizeof(T));
    return true;
  }
  bool text(std::string_view& value) {
    uint32_t length = 0;
    if (!number(length) || rest_.size() < length) return false;
    value = std::string_view(reinterpret_cast<const char*>(rest_.data()), length);
    rest_ = rest_.subspan(length);
    return true;
  }
  bool magic() {
    if (rest_.size() < kMagic.size() || std::memcmp(rest_.data(), kMagic.data(), kMagic.size()))
      return false;
    rest_ = rest_.subspan(kMagic.size());
    return true;
  }
  size_t left() const { return rest_.size(); }

 private:
  std::span<const uint8_t> rest_;
};

ZelError malformed(std::string_view why) {
  return io_error("malformed index slice: " + std::string(why));
}

struct SliceSegment {
  uint8_t segment;
  std::vector<MemberLocator> members;
};

}  // namespace

Result<std::vector<uint8_t>> make_index_slice(const ZelDataFIle& file, std::string_view channel,
                                              std::span<const uint8_t> segments,
                                              std::string_view version) {
  for (const std::string_view text : {version, std::string_view(file.header_text), channel}) {
    if (text.size() > UINT32_MAX) return io_error("the index slice's header is too large");
  }
  try {
    Writer writer;
    writer.bytes(kMagic.data(), kMagic.size());
    writer.number(uint64_t{file.reader.source().size()});
    writer.text(version);
    writer.text(file.header_text);
    writer.text(channel);
    std::array<bool, 256> chosen{};
    for (const uint8_t segment : segments) chosen[segment] = true;
    uint32_t count = 0;
    for (const bool is_chosen : chosen) count += is_chosen ? 1 : 0;
    writer.number(count);
    for (size_t segment = 0; segment < chosen.size(); ++segment) {
      if (!chosen[segment]) continue;
      // A segment with an unreadable record has no slice: its reads go through the whole
      // directory, which reports the record.
      ZEL_ASSIGN_OR_RETURN(
          const std::span<const MemberLocator> members,
          file.channel_members(channel_suffix(static_cast<uint8_t>(segment), channel)));
      writer.number(static_cast<uint8_t>(segment));
      writer.number(static_cast<uint32_t>(members.size()));
      for (const MemberLocator& member : members) {
        writer.number(member.uncompressed_size);
        writer.number(member.compressed_size);
        writer.number(member.local_header_offset);
        writer.number(member.crc32);
        writer.number(uint32_t{member.name_extra_length} |
                      (member.has_data_descriptor ? kDescriptorBit : 0u));
      }
    }
    return std::move(writer.out());
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the index slice");
  }
}

Result<ZelDataFIle> open_index_slice(std::string location, ByteSource source,
                                     std::string_view version, std::span<const uint8_t> blob) {
  Reader reader(blob);
  uint64_t size = 0;
  std::string_view made_for, header_text, channel;
  uint32_t segment_count = 0;
  if (!reader.magic()) return malformed("not an index slice");
  if (!reader.number(size) || !reader.text(made_for) || !reader.text(header_text) ||
      !reader.text(channel) || !reader.number(segment_count)) {
    return malformed("cut short");
  }
  if (size != source.size() || made_for != version) {
    return io_error("the index slice was made from another version of the object");
  }
  if (segment_count > 256) return malformed("more than 256 segments");
  std::vector<SliceSegment> slice;
  try {
    std::array<bool, 256> seen{};
    for (uint32_t s = 0; s < segment_count; ++s) {
      uint8_t segment = 0;
      uint32_t count = 0;
      if (!reader.number(segment) || !reader.number(count)) return malformed("cut short");
      if (seen[segment]) return malformed("a segment given twice");
      seen[segment] = true;
      // Checked before allocating: a count is never more than the bytes that follow hold.
      if (count > reader.left() / kMemberBytes) return malformed("cut short");
      SliceSegment& entry = slice.emplace_back(SliceSegment{segment, {}});
      entry.members.reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        MemberLocator member{};
        uint32_t flags = 0;
        reader.number(member.uncompressed_size);
        reader.number(member.compressed_size);
        reader.number(member.local_header_offset);
        reader.number(member.crc32);
        reader.number(flags);
        if ((flags & ~kKnownFlags) != 0) return malformed("unknown member flags");
        member.name_extra_length = flags & ((1u << kLengthBits) - 1);
        member.has_data_descriptor = (flags & kDescriptorBit) != 0;
        member.fault = static_cast<uint32_t>(LocatorFault::kNone);
        // Offsets and sizes are checked against the object by every read, as those of a
        // central directory are: a member outside it fails the read that asks for it.
        entry.members.push_back(member);
      }
    }
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the index slice");
  }
  if (reader.left() != 0) return malformed("bytes after its end");

  if (auto fault = utf8_fault(header_text)) return error::InvalidUtf8Header{std::move(*fault)};
  ZEL_ASSIGN_OR_RETURN(ZelHeader header, ZelHeader::from_str(header_text));

  try {
    // Each member is filed under the one suffix its reads look up: the suffix is its name.
    auto whole_name = [](std::string_view, std::vector<uint32_t>& starts) { starts.push_back(0); };
    MemberIndexBuilder index(whole_name);
    for (const SliceSegment& entry : slice) {
      const std::string suffix = channel_suffix(entry.segment, channel);
      for (const MemberLocator& member : entry.members) {
        index.add(suffix, [&member](MemberLocator& filed) { filed = member; });
      }
    }
    ZEL_ASSIGN_OR_RETURN(MemberIndex filed, std::move(index).finish());
    ChannelIndex members = ChannelIndex::filed(std::move(filed));
    // No directory to walk: the reader only ever reads the members the index gives it.
    ZipReader zip(std::move(source), ArchiveInfo{}, std::vector<uint8_t>(ZipReader::kBufferSize));
    return ZelDataFIle{std::move(location), std::move(zip), std::move(members), std::move(header),
                       std::string(header_text)};
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the index slice");
  }
}

}  // namespace zel

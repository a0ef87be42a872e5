// Reading members: their local headers and compressed data are fetched in batches (neighbours
// with one read), then each is inflated and checked against its recorded size and CRC-32.
#include <libdeflate.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "archive/bytes.hpp"
#include "archive/zip_format.hpp"
#include "archive/zip_reader.hpp"

namespace zel {

namespace {

// Compressed bytes fetched before they are inflated: enough to batch the reads of a channel,
// little enough to stay in the caches while they are inflated.
constexpr uint64_t kBatchBytes = uint64_t{1} << 20;
// Members closer than this are fetched with one read, the bytes between them included.
constexpr uint64_t kJoinGap = 4096;

uint64_t wanted_length(const MemberLocator& member) { return member_span_length(member); }

}  // namespace

uint64_t member_span_length(const MemberLocator& member) noexcept {
  return local::kSize + uint64_t{member.name_extra_length} + member.compressed_size +
         descriptor::kSize;
}

bool ZipReader::implausible_size(const MemberLocator& member) noexcept {
  // DEFLATE expands at most 1032:1; the slack covers tiny streams.
  constexpr uint64_t kMaxRatio = 1032, kSlack = 1024;
  if (member.compressed_size > (UINT64_MAX - kSlack) / kMaxRatio) return false;
  return member.uncompressed_size > member.compressed_size * kMaxRatio + kSlack;
}

Result<void> ZipReader::check_member(const MemberLocator& member) const {
  const uint64_t offset = member.local_header_offset;
  const uint64_t size = source_.size();
  if (offset > size || size - offset < local::kSize) {
    return zip_error("invalid Zip archive: local file header beyond the end of the file");
  }
  if (size - offset - local::kSize < member.compressed_size) {
    return member_past_end_error();
  }
  if (implausible_size(member)) {
    return io_error("invalid data: size mismatch: recorded size " +
                    std::to_string(member.uncompressed_size) + " bytes cannot come from " +
                    std::to_string(member.compressed_size) + " compressed bytes");
  }
  return {};
}

bool ZipReader::Buffer::reserve(size_t size) noexcept {
  if (size <= capacity) return true;
  // Not zero-filled: only what is read or inflated into it is ever touched.
  auto* grown = static_cast<uint8_t*>(std::realloc(bytes.get(), size));
  if (grown == nullptr) return false;
  (void)bytes.release();
  bytes.reset(grown);
  capacity = size;
  return true;
}

void ZipReader::advise(std::span<const MemberLocator> members) const {
  // Neighbouring ranges are merged so that a channel costs few hints, not one per member.
  uint64_t start = 0, stop = 0;
  bool open = false;
  for (const MemberLocator& member : members) {
    const uint64_t first = member.local_header_offset;
    const uint64_t last = first + std::min(wanted_length(member), source_.size());
    if (open && first >= start && first <= stop + source_.join_gap(kJoinGap)) {
      stop = std::max(stop, last);
      continue;
    }
    if (open) source_.advise_will_need(start, stop - start);
    start = first;
    stop = last;
    open = true;
  }
  if (open) source_.advise_will_need(start, stop - start);
}

size_t ZipReader::fetch_batch(std::span<const MemberLocator> members, size_t first, bool& hinted,
                              std::optional<ZelError>& stop) {
  fetched_.clear();
  runs_.clear();
  uint64_t total = 0;
  size_t end = first;
  for (; end < members.size() && (end == first || total < kBatchBytes); ++end) {
    const MemberLocator& member = members[end];
    if (auto checked = check_member(member); !checked) {
      stop = std::move(checked).error();
      break;
    }
    const uint64_t start = member.local_header_offset;
    const uint64_t stop_at = start + std::min(wanted_length(member), source_.size() - start);
    if (!runs_.empty() && start >= runs_.back().start &&
        start <= runs_.back().end + source_.join_gap(kJoinGap)) {
      Run& run = runs_.back();
      if (stop_at > run.end) {
        total += stop_at - run.end;
        run.end = stop_at;
      }
    } else {
      runs_.push_back({start, stop_at, total, end});
      total += stop_at - start;
    }
    const Run& run = runs_.back();
    fetched_.push_back({run.at + (start - run.start), stop_at - start});
  }
  if (runs_.empty()) return end;
  if (total > SIZE_MAX || !input_.reserve(static_cast<size_t>(total))) {
    stop = io_error("cannot allocate memory for " + std::to_string(total) + " compressed bytes");
    fetched_.clear();
    return first;
  }
  // Reads come from the page cache while they can; the first that would wait for the disk
  // tells the kernel about every member still to come, so that it fetches them all at once.
  for (const Run& run : runs_) {
    const std::span<uint8_t> bytes(input_.bytes.get() + run.at, run.end - run.start);
    if (!hinted && source_.read_cached_at(run.start, bytes) == 0) continue;
    if (!hinted) {
      advise(members.subspan(run.first_member));
      hinted = true;
    }
    if (int status = source_.read_at(run.start, bytes); status != 0) {
      stop = zip_read_error("could not read a local file header", status);
      fetched_.resize(run.first_member - first);
      return run.first_member;
    }
  }
  return end;
}

Result<std::span<const uint8_t>> ZipReader::inflate_member(const MemberLocator& member,
                                                           Fetched fetched) {
  const std::span<const uint8_t> bytes(input_.bytes.get() + fetched.at, fetched.length);
  if (le32(bytes, 0) != local::kSignature) {
    return zip_error("invalid Zip archive: invalid local file header signature");
  }
  const uint64_t size = source_.size();
  const uint64_t header_length =
      local::kSize + uint64_t{le16(bytes, local::kNameLength)} + le16(bytes, local::kExtraLength);
  const uint64_t data_start = member.local_header_offset + header_length;  // offset <= size
  if (member.compressed_size > UINT64_MAX - data_start) {
    return zip_error("invalid Zip archive: member data offset overflows");
  }
  if (data_start > size || size - data_start < member.compressed_size) {
    return member_past_end_error();
  }
  const uint64_t trailer =
      std::min<uint64_t>(descriptor::kSize, size - data_start - member.compressed_size);
  const uint64_t data_length = member.compressed_size + trailer;
  std::span<const uint8_t> data;
  if (header_length + data_length <= bytes.size()) {
    data = bytes.subspan(header_length, data_length);
  } else {
    // The local name or extra field is longer than the central one: read the data on its own.
    if (data_length > SIZE_MAX || !spill_.reserve(static_cast<size_t>(data_length))) {
      return io_error("cannot allocate memory for a member of " +
                      std::to_string(member.compressed_size) + " compressed bytes");
    }
    const std::span<uint8_t> spill(spill_.bytes.get(), static_cast<size_t>(data_length));
    if (int status = source_.read_at(data_start, spill); status != 0) {
      return member_read_error(status);
    }
    data = spill;
  }

  uint32_t expected_crc = member.crc32;
  if (member.has_data_descriptor) {
    if (trailer < descriptor::kSize) {
      return short_read_error("data descriptor runs past the end of the file");
    }
    const std::span<const uint8_t> tail = data.subspan(member.compressed_size);
    expected_crc = le32(tail, 0) == descriptor::kSignature ? le32(tail, 4) : le32(tail, 0);
  }
  data = data.first(member.compressed_size);

  // Room past the recorded size lets the inflater's fast loop run to the end of its output.
  if (member.uncompressed_size > SIZE_MAX - kInflateSlack ||
      !output_.reserve(static_cast<size_t>(member.uncompressed_size) + kInflateSlack)) {
    return member_allocation_error(member.uncompressed_size);
  }
  uint8_t* out = output_.bytes.get();
  size_t produced = 0;
  if (!data.empty()) {
    if (!inflater_) {
      inflater_.reset(libdeflate_alloc_decompressor());
      if (!inflater_) return io_error("cannot allocate a DEFLATE decompressor");
    }
    const libdeflate_result status = libdeflate_deflate_decompress_ex(
        inflater_.get(), data.data(), data.size(), out,
        static_cast<size_t>(member.uncompressed_size) + kInflateSlack, nullptr, &produced);
    if (status == LIBDEFLATE_INSUFFICIENT_SPACE) {
      return size_mismatch_error(member.uncompressed_size, "more");
    }
    if (status != LIBDEFLATE_SUCCESS) return io_error("invalid data: corrupt deflate stream");
  }
  if (produced != member.uncompressed_size) {
    return size_mismatch_error(member.uncompressed_size, std::to_string(produced));
  }
  if (expected_crc != 0) {
    const uint32_t actual = libdeflate_crc32(0, out, produced);
    if (actual != expected_crc) {
      char text[96];
      std::snprintf(text, sizeof text, "invalid data: checksum mismatch: expected %08x, got %08x",
                    expected_crc, actual);
      return io_error(text);
    }
  }
  return std::span<const uint8_t>(out, produced);
}

Result<void> ZipReader::read_members(std::span<const MemberLocator> members, MemberSink sink) {
  bool hinted = false;
  for (size_t first = 0; first < members.size();) {
    std::optional<ZelError> stop;
    const size_t end = fetch_batch(members, first, hinted, stop);
    // Members before the one that stopped the batch come first, as they would one by one.
    for (size_t index = first; index < end; ++index) {
      ZEL_ASSIGN_OR_RETURN(const std::span<const uint8_t> contents,
                           inflate_member(members[index], fetched_[index - first]));
      ZEL_TRY(sink(index, contents));
    }
    if (stop) return std::move(*stop);
    first = end;
  }
  return {};
}

Result<std::vector<std::vector<uint8_t>>> ZipReader::get_files(NameFilter filter) {
  ZEL_ASSIGN_OR_RETURN(const std::vector<MemberLocator> members, find_members(filter));
  std::vector<std::vector<uint8_t>> files;
  files.reserve(members.size());
  auto keep = [&files](size_t, std::span<const uint8_t> contents) -> Result<void> {
    try {
      files.emplace_back(contents.begin(), contents.end());
    } catch (const std::bad_alloc&) {
      return member_allocation_error(contents.size());
    }
    return {};
  };
  ZEL_TRY(read_members(members, keep));
  return files;
}

}  // namespace zel

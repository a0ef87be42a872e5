// Planning the byte ranges of a remote open and read, and locating the directory from a tail.
#include "reader/fetched_reads.hpp"

#include <algorithm>

#include "archive/zip_reader.hpp"
#include "reader/row_reads.hpp"

namespace zel {

Result<ByteRange> directory_range(const ByteSource& tail) {
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  ZEL_ASSIGN_OR_RETURN(const ArchiveInfo archive, ZipReader::locate(tail, buffer));
  if (archive.directory_offset > UINT64_MAX - archive.base_offset) {
    return zip_error("invalid Zip archive: central directory offset out of range");
  }
  uint64_t start = archive.directory_offset + archive.base_offset;
  const uint64_t end = archive.directory_end();
  if (start > end) return zip_error("invalid Zip archive: central directory offset out of range");
  // Data before the archive shifts the directory to just before the end records; whether it
  // does shows only in bytes the tail may not hold, so both places are fetched, and the open
  // tells them apart from the directory's own bytes.
  if (archive.directory_size <= end) start = std::min(start, end - archive.directory_size);
  if (const FetchedBytes* fetched = tail.fetched()) fetched->clear_missing();
  return ByteRange{start, end - start};
}

std::vector<ByteRange> plan_row_ranges(const ZelDataFIle& file, std::string_view channel,
                                       std::span<const uint8_t> segments, int64_t row_start,
                                       int64_t row_step, uint64_t row_count, RangePolicy policy) {
  const uint64_t size = file.reader.source().size();
  std::vector<ByteRange> spans;
  for (const uint8_t segment : segments) {
    auto grid = segment_grid(file, channel, segment);
    if (!grid) continue;
    const uint64_t side = grid->side;
    for (uint64_t i = 0; i < row_count; ++i) {
      const int64_t row = row_start + static_cast<int64_t>(i) * row_step;
      if (row < 0 || static_cast<uint64_t>(row) >= side) continue;
      for (const MemberLocator& member :
           grid->members.subspan(static_cast<uint64_t>(row) * side, side)) {
        const uint64_t offset = member.local_header_offset;
        if (offset >= size || member.compressed_size > size) continue;  // the read reports it
        spans.push_back({offset, std::min(member_span_length(member), size - offset)});
      }
    }
  }
  std::sort(spans.begin(), spans.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<ByteRange> merged;
  for (const ByteRange& span : spans) {
    if (!merged.empty()) {
      ByteRange& last = merged.back();
      const uint64_t last_end = last.offset + last.length;
      const uint64_t span_end = span.offset + span.length;
      if (span.offset <= last_end + policy.max_gap &&
          std::max(last_end, span_end) - last.offset <= policy.max_block) {
        last.length = std::max(last_end, span_end) - last.offset;
        continue;
      }
      if (span.offset < last_end) {  // overlapping members: keep the ranges apart
        if (span_end <= last_end) continue;
        merged.push_back({last_end, span_end - last_end});
        continue;
      }
    }
    merged.push_back(span);
  }
  return merged;
}

}  // namespace zel

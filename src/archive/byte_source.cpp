// Reads from fetched pieces of an object, checked against the object's size.
#include "archive/byte_source.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

namespace zel {

Result<void> FetchedBytes::add(uint64_t offset, std::span<const uint8_t> bytes) {
  if (offset > size_ || size_ - offset < bytes.size()) {
    return io_error("fetched bytes lie outside the object");
  }
  auto after = [](uint64_t value, const Piece& piece) { return value < piece.offset; };
  const auto at = std::upper_bound(pieces_.begin(), pieces_.end(), offset, after);
  const bool overlaps_before =
      at != pieces_.begin() && std::prev(at)->offset + std::prev(at)->bytes.size() > offset;
  const bool overlaps_after = at != pieces_.end() && at->offset - offset < bytes.size();
  if (overlaps_before || overlaps_after) return io_error("fetched byte ranges overlap");
  try {
    Piece piece{offset, std::vector<uint8_t>(bytes.begin(), bytes.end())};
    pieces_.insert(at, std::move(piece));
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate " + std::to_string(bytes.size()) + " fetched bytes");
  }
  return {};
}

int FetchedBytes::read_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
  if (offset > size_ || size_ - offset < out.size()) return File::kEndOfFile;
  uint64_t at = offset;
  const uint64_t end = offset + out.size();
  // The pieces do not overlap: the one that starts last at or before `at` is the only one
  // that can hold it, and the next one in order continues it.
  auto it =
      std::upper_bound(pieces_.begin(), pieces_.end(), at,
                       [](uint64_t value, const Piece& piece) { return value < piece.offset; });
  if (it != pieces_.begin()) --it;
  while (at < end) {
    if (it == pieces_.end() || it->offset > at || it->offset + it->bytes.size() <= at) {
      try {
        const std::lock_guard lock(missing_mutex_);
        if (!missing_) missing_ = ByteRange{at, end - at};
      } catch (...) {  // a lock that cannot be taken only loses the hint
      }
      return ByteSource::kNotFetched;
    }
    const uint64_t take = std::min<uint64_t>(end, it->offset + it->bytes.size()) - at;
    std::memcpy(out.data() + (at - offset), it->bytes.data() + (at - it->offset),
                static_cast<size_t>(take));
    at += take;
    ++it;
  }
  return 0;
}

std::optional<ByteRange> FetchedBytes::missing() const {
  const std::lock_guard lock(missing_mutex_);
  return missing_;
}

void FetchedBytes::clear_missing() const {
  const std::lock_guard lock(missing_mutex_);
  missing_.reset();
}

Result<ByteSource> ByteSource::duplicate() const {
  if (fetched_) return ByteSource(fetched_);
  ZEL_ASSIGN_OR_RETURN(File file, file_.duplicate());
  return ByteSource(std::move(file));
}

}  // namespace zel

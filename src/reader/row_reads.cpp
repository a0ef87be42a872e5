// Reading grid rows on a few threads. Each grid row of each segment is one item of work,
// its members being neighbours in the index; threads take items in order from a counter, each
// with a reader of its own, and write straight into the caller's buffer, where every item has
// its own place. The calling thread reads too, and between items asks whether to go on.
#include "reader/row_reads.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <limits>
#include <optional>
#include <thread>

#include "reader/channel_data.hpp"
#include "reader/channel_members.hpp"
#include "reader/sample_decode.hpp"

namespace zel {

ReaderPool::Lease::~Lease() {
  if (!reader_) return;
  std::lock_guard lock(pool_->mutex_);
  try {
    pool_->spare_.push_back(std::move(reader_));
  } catch (...) {
    // Not kept: the reader closes its descriptor here instead.
  }
}

Result<ReaderPool::Lease> ReaderPool::take() {
  {
    std::lock_guard lock(mutex_);
    if (!spare_.empty()) {
      std::unique_ptr<ZipReader> reader = std::move(spare_.back());
      spare_.pop_back();
      return Lease(*this, std::move(reader));
    }
  }
  ZEL_ASSIGN_OR_RETURN(ZipReader reader, base_.sibling());
  try {
    return Lease(*this, std::make_unique<ZipReader>(std::move(reader)));
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate a reader");
  }
}

namespace {

constexpr size_t kBlock = kBlockValues;
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// The threads reading rows in this process now, the calling threads included.
std::atomic<unsigned> reading_threads{0};

// Counts threads as reading for as long as it lives.
class ReadingThreads {
 public:
  // Counts `count` more; returns how many were reading before them.
  unsigned add(unsigned count) noexcept {
    counted_ += count;
    return reading_threads.fetch_add(count);
  }
  ~ReadingThreads() { reading_threads.fetch_sub(counted_); }

 private:
  unsigned counted_ = 0;
};

// What read_channel's reshape reports when a member holds more values than a grid position.
ZelError overfull_error(std::span<const MemberLocator> members, uint64_t side) {
  uint64_t total = 0;
  for (const MemberLocator& member : members) {
    total += std::max<uint64_t>(kBlock, member.uncompressed_size / 4);
  }
  return error::Numpy{"ValueError: cannot reshape array of size " + std::to_string(total) +
                      " into shape (" + std::to_string(side) + "," + std::to_string(side) + "," +
                      std::to_string(kBlock) + ")"};
}

// The shared state of one read.
class RowReader {
 public:
  RowReader(const RowRead& request, ZelHeader::Conversion conversion,
            std::vector<std::span<const MemberLocator>> segments)
      : request_(request),
        segments_(std::move(segments)),
        items_(request.segments.size() * request.row_count),
        multiplier_(conversion.multiplier),
        offset_(conversion.offset),
        float_data_(conversion.data_type == "float-data") {}

  // Takes items until none is left, one failed before the next, or the read was stopped.
  // With `poll`, asks keep_going between items.
  void work(ReaderPool& pool, KeepGoing* poll) {
    auto lease = pool.take();
    if (!lease) {
      // A helper without a reader (no descriptor left, say) leaves its share to the others;
      // the calling thread without one fails the read.
      if (poll != nullptr) fail(0, std::move(lease).error());
      return;
    }
    auto last_poll = std::chrono::steady_clock::now();
    for (;;) {
      const uint64_t item = next_.fetch_add(1, std::memory_order_relaxed);
      if (item >= items_ || item > first_failure_.load(std::memory_order_acquire) ||
          stopped_.load(std::memory_order_relaxed)) {
        return;
      }
      if (auto read = read_item(lease->reader(), item); !read) fail(item, std::move(read).error());
      if (poll != nullptr && std::chrono::steady_clock::now() - last_poll >= kPollInterval) {
        if (!(*poll)()) {
          stopped_.store(true, std::memory_order_relaxed);
          return;
        }
        last_poll = std::chrono::steady_clock::now();
      }
    }
  }

  // As work, but an exception (memory running out) stops the read instead of the process.
  void work_guarded(ReaderPool& pool, KeepGoing* poll) noexcept {
    try {
      work(pool, poll);
    } catch (...) {
      faulted_.store(true);
      stopped_.store(true);
    }
  }

  Result<void> outcome() && {
    if (faulted_.load()) return io_error("cannot allocate memory for a read");
    if (stopped_.load()) return io_error(std::string(kStopped));
    if (failure_) return std::move(*failure_);
    // A member too long for a grid position fails the segment as read_channel fails it, but
    // only once every member is known to read, as there.
    for (size_t s = 0; s < segments_.size(); ++s) {
      if (overfull_[s].load()) return overfull_error(segments_[s], request_.side);
    }
    return {};
  }

 private:
  Result<void> read_item(ZipReader& reader, uint64_t item) {
    const uint64_t segment = item / request_.row_count, k = item % request_.row_count;
    const auto row = static_cast<uint64_t>(static_cast<int64_t>(request_.row_start) +
                                           static_cast<int64_t>(k) * request_.row_step);
    const uint64_t side = request_.side;
    const auto members = segments_[segment].subspan(row * side, side);
    double* const out = request_.out.data() + item * side * kBlock;
    const double fill = std::bit_cast<double>(kFillBits);
    auto decode = [&](size_t index, std::span<const uint8_t> contents) -> Result<void> {
      const size_t count = contents.size() / 4;
      double* block = out + index * kBlock;
      if (count > kBlock) {
        overfull_[segment].store(true);
        return {};
      }
      decode_samples(float_data_, contents.data(), count, multiplier_, offset_, block);
      std::fill(block + count, block + kBlock, fill);
      return {};
    };
    return reader.read_members(members, decode);
  }

  void fail(uint64_t item, ZelError error) {
    std::lock_guard lock(mutex_);
    if (item < first_failure_.load()) {
      first_failure_.store(item, std::memory_order_release);
      failure_ = std::move(error);
    }
  }

  const RowRead& request_;
  const std::vector<std::span<const MemberLocator>> segments_;
  const uint64_t items_;
  const double multiplier_, offset_;
  const bool float_data_;
  std::atomic<uint64_t> next_{0};
  std::atomic<uint64_t> first_failure_{std::numeric_limits<uint64_t>::max()};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> faulted_{false};
  std::atomic<bool> overfull_[256] = {};
  std::mutex mutex_;
  std::optional<ZelError> failure_;
};

}  // namespace

Result<void> read_rows(const ZelDataFIle& file, ReaderPool& pool, const RowRead& request,
                       KeepGoing keep_going) {
  ZEL_ASSIGN_OR_RETURN(const ZelHeader::Conversion conversion,
                       file.header.convert_to_type(request.channel, request.unit, false));
  if (request.segments.size() > 256) return io_error("more than 256 segments in one read");
  std::vector<std::span<const MemberLocator>> segments;
  for (const uint8_t segment : request.segments) {
    std::string suffix = channel_suffix(segment, request.channel);
    ZEL_ASSIGN_OR_RETURN(const std::span<const MemberLocator> members, file.members.find(suffix));
    if (members.empty()) return error::NoFile{std::move(suffix)};
    if (members.size() != request.side * request.side) {
      return io_error("segment " + std::to_string(segment) + " has " +
                      std::to_string(members.size()) + " members, not the " +
                      std::to_string(request.side * request.side) + " of its grid");
    }
    segments.push_back(members);
  }

  RowReader reader(request, conversion, std::move(segments));
  const uint64_t items = request.segments.size() * request.row_count;
  // Threads that already read in this process, on behalf of other calls, count against this
  // read's threads: reads made side by side (Dask's threaded scheduler) share the CPUs rather
  // than each starting helpers of its own on top of the others.
  const unsigned wanted = static_cast<unsigned>(
      std::min<uint64_t>(std::max(request.threads, 1u), std::max<uint64_t>(items, 1)));
  ReadingThreads reading;
  const unsigned busy = reading.add(1);
  const unsigned helpers = wanted > busy + 1 ? wanted - busy - 1 : 0;
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  for (unsigned i = 0; i < helpers; ++i) {
    try {
      threads.emplace_back([&reader, &pool] { reader.work_guarded(pool, nullptr); });
    } catch (const std::system_error&) {
      break;  // fewer threads: the others take their share
    }
  }
  reading.add(static_cast<unsigned>(threads.size()));
  reader.work_guarded(pool, &keep_going);
  for (std::thread& thread : threads) thread.join();
  return std::move(reader).outcome();
}

}  // namespace zel

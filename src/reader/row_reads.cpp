// Reading grid rows on a few threads. Each grid row of each segment is one item of work,
// its members being neighbours in the index; threads take items in order from a counter, each
// with a reader of its own, and write straight into the caller's buffer, where every item has
// its own place. The calling thread reads too, and between items asks whether to go on.
//
// Reads side by side (Dask's threaded scheduler) share the CPUs: a read starts helpers only
// while fewer threads read in the process than it may use, a helper leaves when more do, and a
// read left alone takes helpers on again, so that no CPU idles while a read has rows left.
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

// Counts the calling thread of a read among the reading ones while it lives.
struct CallingThread {
  CallingThread() noexcept { reading_threads.fetch_add(1); }
  ~CallingThread() { reading_threads.fetch_sub(1); }
  CallingThread(const CallingThread&) = delete;
  CallingThread& operator=(const CallingThread&) = delete;
};

// Counts one more reading thread if fewer than `limit` read now.
bool join_readers(unsigned limit) noexcept {
  unsigned now = reading_threads.load(std::memory_order_relaxed);
  while (now < limit) {
    if (reading_threads.compare_exchange_weak(now, now + 1)) return true;
  }
  return false;
}

// Counts one reading thread fewer if more than `limit` read now: true for as many callers as
// there are threads above the limit, so that only that many helpers leave.
bool leave_readers(unsigned limit) noexcept {
  unsigned now = reading_threads.load(std::memory_order_relaxed);
  while (now > limit) {
    if (reading_threads.compare_exchange_weak(now, now - 1)) return true;
  }
  return false;
}

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

class Crew;

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

  // The items no thread has taken yet.
  uint64_t items_left() const noexcept {
    const uint64_t taken = next_.load(std::memory_order_relaxed);
    return taken < items_ ? items_ - taken : 0;
  }

  // The calling thread's share: takes items until none is left, one failed before the next,
  // or keep_going (asked every few milliseconds) stopped the read; between items it takes
  // helpers on through `crew`. An exception (memory running out) stops the read, not the
  // process.
  void lead(ReaderPool& pool, KeepGoing keep_going, Crew& crew) noexcept;

  // A helper's share, on a thread counted among the reading ones: takes items as lead does,
  // but leaves early, uncounting itself, when more threads read in the process than `limit`,
  // for the calling threads of other reads. A helper without a reader (no descriptor left,
  // say) leaves its share to the others and asks for no more helpers.
  void help(ReaderPool& pool, unsigned limit) noexcept {
    try {
      auto lease = pool.take();
      if (!lease) {
        refused_.store(true, std::memory_order_relaxed);
      } else {
        while (take_and_read(lease->reader())) {
          if (leave_readers(limit)) return;  // uncounted there
        }
      }
    } catch (...) {
      faulted_.store(true);
      stopped_.store(true);
    }
    reading_threads.fetch_sub(1);
  }

  // Whether a helper failed to get a reader, so that starting more is in vain.
  bool refused() const noexcept { return refused_.load(std::memory_order_relaxed); }

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
  // Reads the next item; false when none is left, one before it failed, or the read stopped.
  bool take_and_read(ZipReader& reader) {
    const uint64_t item = next_.fetch_add(1, std::memory_order_relaxed);
    if (item >= items_ || item > first_failure_.load(std::memory_order_acquire) ||
        stopped_.load(std::memory_order_relaxed)) {
      return false;
    }
    if (auto read = read_item(reader, item); !read) fail(item, std::move(read).error());
    return true;
  }

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
  std::atomic<bool> refused_{false};
  std::atomic<bool> overfull_[256] = {};
  std::mutex mutex_;
  std::optional<ZelError> failure_;
};

// The helpers of one read, started by its calling thread and joined when it ends.
class Crew {
 public:
  Crew(RowReader& reader, ReaderPool& pool, unsigned limit) noexcept
      : reader_(reader), pool_(pool), limit_(limit) {}
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  ~Crew() {
    for (std::thread& thread : threads_) thread.join();
  }

  // Starts helpers while fewer threads read in the process than the read may use and items
  // are left for them beside the calling thread's next.
  void grow() {
    uint64_t spare = reader_.items_left();
    while (spare-- > 1 && !stuck_ && threads_.size() < max_starts_ && !reader_.refused() &&
           join_readers(limit_)) {
      try {
        threads_.emplace_back([this] { reader_.help(pool_, limit_); });
      } catch (...) {
        // No thread (or no memory to keep one): the others take its share.
        reading_threads.fetch_sub(1);
        stuck_ = true;
      }
    }
  }

 private:
  RowReader& reader_;
  ReaderPool& pool_;
  const unsigned limit_;
  // Helpers leave and come back as other reads start and end; this bounds how often.
  const size_t max_starts_ = 4 * size_t{limit_} + 4;
  bool stuck_ = false;  // a thread could not be started
  std::vector<std::thread> threads_;
};

void RowReader::lead(ReaderPool& pool, KeepGoing keep_going, Crew& crew) noexcept {
  try {
    auto lease = pool.take();
    if (!lease) {
      fail(0, std::move(lease).error());
      return;
    }
    crew.grow();
    auto last_poll = std::chrono::steady_clock::now();
    while (take_and_read(lease->reader())) {
      crew.grow();
      if (std::chrono::steady_clock::now() - last_poll >= kPollInterval) {
        if (!keep_going()) {
          stopped_.store(true, std::memory_order_relaxed);
          return;
        }
        last_poll = std::chrono::steady_clock::now();
      }
    }
  } catch (...) {
    faulted_.store(true);
    stopped_.store(true);
  }
}

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
  {
    const unsigned limit = std::max(request.threads, 1u);
    Crew crew(reader, pool, limit);
    const CallingThread counted;  // it reads whatever the others do
    reader.lead(pool, keep_going, crew);
  }  // the calling thread is uncounted, then the helpers are joined
  return std::move(reader).outcome();
}

}  // namespace zel

// Reading grid rows on a few threads. Each grid row of each segment is one item of work,
// its members being neighbours in the index; threads take items in order from a counter, each
// with a reader of its own, and write straight into the caller's buffer, where every item has
// its own place. The calling thread reads too, and between items asks whether to go on.
//
// Reads side by side (Dask's threaded scheduler) share the CPUs: a read starts helpers only
// while fewer threads read in the process than it may use, a helper leaves when more do, and a
// read left alone takes helpers on again, so that no CPU idles while a read has rows left.
#include "reader/row_reads.hpp"

#include <pthread.h>

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

namespace {

// The threads reading rows in this process now, the calling threads included.
std::atomic<unsigned> reading_threads{0};
// Moves on in every forked child, which starts from no reading thread: a calling thread that
// was counted in the parent before the fork must not uncount itself in the child.
std::atomic<unsigned> fork_generation{0};

}  // namespace

// Every pool alive, in a list threaded through the pools themselves (so that registering one
// cannot fail), with the lock that guards the list.
struct PoolRegistry {
  static inline std::mutex mutex;
  static inline ReaderPool* first = nullptr;

  static void add(ReaderPool& pool) noexcept {
    std::lock_guard lock(mutex);
    pool.next_ = first;
    if (first != nullptr) first->previous_ = &pool;
    first = &pool;
  }
  static void remove(ReaderPool& pool) noexcept {
    std::lock_guard lock(mutex);
    if (pool.previous_ != nullptr) pool.previous_->next_ = pool.next_;
    if (pool.next_ != nullptr) pool.next_->previous_ = pool.previous_;
    if (first == &pool) first = pool.next_;
  }

  // fork(): the list's lock and every pool's are taken before and given back after, in the
  // parent and in the child alike, where the forking thread holds them all.
  static void before_fork() noexcept {
    mutex.lock();
    for (ReaderPool* pool = first; pool != nullptr; pool = pool->next_) pool->mutex_.lock();
  }
  static void after_fork_in_parent() noexcept {
    for (ReaderPool* pool = first; pool != nullptr; pool = pool->next_) pool->mutex_.unlock();
    mutex.unlock();
  }
  // Only the forking thread lives on: no thread reads rows in the child.
  static void after_fork_in_child() noexcept {
    reading_threads.store(0);
    fork_generation.fetch_add(1);
    after_fork_in_parent();
  }
};

bool prepare_row_reads_for_fork() noexcept {
  static const bool registered =
      pthread_atfork(PoolRegistry::before_fork, PoolRegistry::after_fork_in_parent,
                     PoolRegistry::after_fork_in_child) == 0;
  return registered;
}

unsigned reading_thread_count() noexcept { return reading_threads.load(); }

ReaderPool::ReaderPool(const ZipReader& base) : base_(base) { PoolRegistry::add(*this); }

ReaderPool::~ReaderPool() { PoolRegistry::remove(*this); }

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

// Counts the calling thread of a read among the reading ones while it lives (in the process
// that counted it: a forked child starts from no reading thread).
struct CallingThread {
  CallingThread() noexcept { reading_threads.fetch_add(1); }
  ~CallingThread() {
    if (fork_generation.load() == generation_) reading_threads.fetch_sub(1);
  }
  const unsigned generation_ = fork_generation.load();
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
    const uint64_t block = std::max<uint64_t>(kBlock, member.uncompressed_size / 4);
    total = block > UINT64_MAX - total ? UINT64_MAX : total + block;
  }
  return error::Numpy{"ValueError: cannot reshape array of size " + std::to_string(total) +
                      " into shape (" + std::to_string(side) + "," + std::to_string(side) + "," +
                      std::to_string(kBlock) + ")"};
}

class Crew;

// The shared state of one read.
class RowReader {
 public:
  // Reads the rows of `segments`, those before the first segment that could not be looked up
  // (whose error is `lookup_failure`).
  RowReader(const RowRead& request, uint64_t side, ZelHeader::Conversion conversion,
            std::vector<std::span<const MemberLocator>> segments,
            std::optional<ZelError> lookup_failure)
      : request_(request),
        side_(side),
        segments_(std::move(segments)),
        items_(segments_.size() * request.row_count),
        lookup_failure_(std::move(lookup_failure)),
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

  // The first failure in the order of the segments: within a segment, a member that does not
  // read wins over one too long for its grid position (read_channel reports that only once
  // every member is known to read); a segment that could not be looked up comes after every
  // segment before it.
  Result<void> outcome() && {
    if (faulted_.load()) return io_error("cannot allocate memory for a read");
    if (stopped_.load()) return io_error(std::string(kStopped));
    const uint64_t failed_segment =
        failure_ ? first_failure_.load() / request_.row_count : segments_.size();
    for (size_t s = 0; s < failed_segment; ++s) {
      if (overfull_[s].load()) return overfull_error(segments_[s], side_);
    }
    if (failure_) return std::move(*failure_);
    if (lookup_failure_) return std::move(*lookup_failure_);
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
    const uint64_t side = side_;
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
  const uint64_t side_;
  const std::vector<std::span<const MemberLocator>> segments_;
  const uint64_t items_;
  std::optional<ZelError> lookup_failure_;
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
  // May throw std::bad_alloc.
  Crew(RowReader& reader, ReaderPool& pool, unsigned limit)
      : reader_(reader),
        pool_(pool),
        limit_(limit),
        finished_(std::make_unique<std::atomic<bool>[]>(max_starts_)) {
    threads_.reserve(max_starts_);
  }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  ~Crew() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  // Joins the helpers that have left, so that their stacks go now rather than when the read
  // ends; then starts helpers while fewer threads read in the process than the read may use
  // and items are left for them beside the calling thread's next.
  void grow() {
    for (size_t i = 0; i < threads_.size(); ++i) {
      if (threads_[i].joinable() && finished_[i].load(std::memory_order_acquire)) {
        threads_[i].join();
      }
    }
    uint64_t spare = reader_.items_left();
    while (spare-- > 1 && !stuck_ && threads_.size() < max_starts_ && !reader_.refused() &&
           join_readers(limit_)) {
      const size_t index = threads_.size();
      try {
        threads_.emplace_back([this, index] {
          reader_.help(pool_, limit_);
          finished_[index].store(true, std::memory_order_release);
        });
      } catch (...) {
        // No thread: the others take its share.
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
  // finished_[i]: helper i has left and can be joined without waiting. threads_ holds room
  // for every start, so that starting one never allocates.
  std::unique_ptr<std::atomic<bool>[]> finished_;
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

Result<SegmentGrid> segment_grid(const ZelDataFIle& file, std::string_view channel,
                                 uint8_t segment) {
  std::string suffix = channel_suffix(segment, channel);
  ZEL_ASSIGN_OR_RETURN(const std::span<const MemberLocator> members, file.channel_members(suffix));
  if (members.empty()) return error::NoFile{std::move(suffix)};
  const uint64_t side = grid_side(members.size());
  if (side * side != members.size()) {
    return error::NotAGrid{std::string(channel), segment, members.size(), 0};
  }
  return SegmentGrid{members, side};
}

namespace {

// The values that `request` fills on a grid of `side` rows: OutsideGrid when a row lies outside
// it, WrongBuffer when the caller's buffer does not hold exactly that many, every product and
// sum checked for overflow.
Result<uint64_t> checked_values(const RowRead& request, uint64_t side) {
  if (request.row_count > 0) {
    int64_t span = 0, last = 0;
    const auto steps = static_cast<int64_t>(request.row_count - 1);
    if (request.row_count - 1 > static_cast<uint64_t>(INT64_MAX) ||
        __builtin_mul_overflow(steps, request.row_step, &span) ||
        __builtin_add_overflow(request.row_start, span, &last) || request.row_start < 0 ||
        last < 0 || static_cast<uint64_t>(request.row_start) >= side ||
        static_cast<uint64_t>(last) >= side) {
      return error::OutsideGrid{side};
    }
  }
  uint64_t values = 0;
  if (__builtin_mul_overflow(uint64_t{request.segments.size()}, request.row_count, &values) ||
      __builtin_mul_overflow(values, side, &values) ||
      __builtin_mul_overflow(values, uint64_t{kBlock}, &values) || values != request.out.size()) {
    return error::WrongBuffer{values};
  }
  return values;
}

}  // namespace

Result<void> read_rows(const ZelDataFIle& file, ReaderPool& pool, const RowRead& request,
                       KeepGoing keep_going) {
  ZEL_ASSIGN_OR_RETURN(const ZelHeader::Conversion conversion,
                       file.header.convert_to_type(request.channel, request.unit, false));
  if (request.segments.size() > 256) return io_error("more than 256 segments in one read");
  if (request.segments.empty()) {
    if (!request.out.empty()) return error::WrongBuffer{0};
    return {};
  }
  // The first segment's grid is the one every row is checked against; nothing comes before its
  // lookup, so its failure is the read's.
  ZEL_ASSIGN_OR_RETURN(const SegmentGrid first,
                       segment_grid(file, request.channel, request.segments[0]));
  ZEL_ASSIGN_OR_RETURN(const uint64_t values, checked_values(request, first.side));
  if (values == 0) return {};

  std::vector<std::span<const MemberLocator>> segments{first.members};
  std::optional<ZelError> lookup_failure;
  for (const uint8_t segment : request.segments.subspan(1)) {
    auto grid = segment_grid(file, request.channel, segment);
    if (grid && grid->side != first.side) {
      grid =
          error::NotAGrid{std::string(request.channel), segment, grid->members.size(), first.side};
    }
    if (!grid) {
      lookup_failure = std::move(grid).error();  // fails at this segment's first row
      break;
    }
    segments.push_back(grid->members);
  }

  RowReader reader(request, first.side, conversion, std::move(segments), std::move(lookup_failure));
  {
    const unsigned limit = std::max(request.threads, 1u);
    Crew crew(reader, pool, limit);
    const CallingThread counted;  // it reads whatever the others do
    reader.lead(pool, keep_going, crew);
  }  // the calling thread is uncounted, then the helpers are joined
  return std::move(reader).outcome();
}

}  // namespace zel

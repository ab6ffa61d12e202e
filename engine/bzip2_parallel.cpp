// One long bzip2 entry decoded block by block: the crew's helpers and the caller's loop that
// reads, finds the blocks, hands them out (or decodes them itself) and takes them back in order.
#include "bzip2_parallel.h"

#include "entry_check.h"  // ReadAfterChunks
#include "stream_io.h"

#include <csignal>
#include <cstring>
#include <new>
#include <zlib.h>

namespace {

constexpr uint64_t kNone = UINT64_MAX;
constexpr uint64_t kTrailerBits = 48 + 32;  // end magic and combined CRC

uint32_t RotateLeft1(uint32_t v) { return (v << 1) | (v >> 31); }

}  // namespace

Bzip2Crew::~Bzip2Crew() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  work_cv_.notify_all();
  for (Helper& h : helpers_) {
    if (h.running) pthread_join(h.thread, nullptr);
    h.running = false;
  }
}

bool Bzip2Crew::Prepare() {
  if (ring_ == nullptr) ring_.reset(new (std::nothrow) unsigned char[kWindowSize]);
  if (ring_ == nullptr) return false;
  for (int i = 0; i < jobs_; ++i) {
    auto& decoder = decoders_[static_cast<size_t>(i)];
    if (decoder == nullptr) decoder.reset(new (std::nothrow) Bzip2BlockDecoder);
    if (decoder == nullptr) return false;
  }
  // Helpers take no signals: a front end's handler (Ctrl-C) runs on the caller's thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int ready = 1;  // the caller
  for (; ready < jobs_; ++ready) {
    Helper& h = helpers_[static_cast<size_t>(ready)];
    if (!h.running) {
      h.owner = this;
      h.number = ready;
      h.running = pthread_create(&h.thread, nullptr, HelperMain, &h) == 0;
      if (!h.running) break;  // fewer helpers: still correct, only slower
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ready_ = ready;
  return true;
}

int Bzip2Crew::FreeHelpers() const {
  // Cores not taken by the caller or by workers checking other entries.
  const int others = busy_.load(std::memory_order_relaxed) - (caller_counted_ ? 1 : 0);
  int free = jobs_ - 1 - (others > 0 ? others : 0);
  if (free > ready_ - 1) free = ready_ - 1;
  return free > 0 ? free : 0;
}

void* Bzip2Crew::HelperMain(void* arg) {
  auto* h = static_cast<Helper*>(arg);
  h->owner->Help(h->number);
  return nullptr;
}

void Bzip2Crew::Help(int number) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [&] { return quit_ || (active_ && number < allowed_ && take_ < tail_); });
    if (quit_) return;
    const int64_t index = take_++;
    TaskAt(index).state = Task::kTaken;
    ++running_;
    lock.unlock();
    Decode(index, decoders_[static_cast<size_t>(number)].get());
    helper_blocks_.fetch_add(1, std::memory_order_relaxed);
    lock.lock();
    --running_;
    done_cv_.notify_one();
  }
}

void Bzip2Crew::Decode(int64_t index, Bzip2BlockDecoder* decoder) {
  // The task's bits stay as posted and its bytes stay in the window until it is taken back.
  Task& task = TaskAt(index);
  Bzip2BlockResult result;
  decoder->Decode(Bzip2Ring{ring_.get(), ring_size_}, task.start_bit, task.end_bit, level_, codec_,
                  cancel_, &result);
  std::lock_guard<std::mutex> lock(mu_);
  task.result = result;
  task.state = Task::kDone;
}

int Bzip2Crew::Check(FILE* archive, uint64_t length, size_t chunk_size, CodecBackend codec,
                     uint32_t* crc, Bzip2Points* points, uint64_t* given, bool counted) {
  *given = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (in_use_) return kBlocksFallBack;  // another worker's entry has the crew
    in_use_ = true;
  }
  caller_counted_ = counted;
  // No core free for a helper is no reason to leave: the caller alone decodes a block faster
  // than libbz2 does, and helpers join as cores free up.
  if (chunk_size == 0 || !Prepare()) {
    std::lock_guard<std::mutex> lock(mu_);
    in_use_ = false;
    return kBlocksFallBack;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    allowed_ = 1 + FreeHelpers();
    ring_size_ = window_ != 0 ? window_ : WindowFor(jobs_);
    head_ = take_ = tail_ = 0;
    codec_ = codec;
    level_ = 9;
    cancel_.store(false, std::memory_order_relaxed);
    active_ = true;
  }
  const int rc = Run(archive, length, chunk_size, crc, points, given);
  {
    // Nothing of this check may be touched once it returns: helpers still at a block stop soon.
    std::unique_lock<std::mutex> lock(mu_);
    active_ = false;
    cancel_.store(true, std::memory_order_relaxed);
    done_cv_.wait(lock, [&] { return running_ == 0; });
    if (rc == kBlocksFallBack) {
      ++fell_back_;
    } else {
      ++verified_;
    }
    in_use_ = false;
  }
  return rc;
}

// Format notes: the points a one-thread pass gives are those of the chunks it reads, and libbz2
// reads a byte only when it needs its bits. Once blocks 1..i are decoded and their CRCs match,
// that pass certainly gets through them and reads the byte where block i + 1 (or the end magic)
// starts; once the stream's combined CRC matches, it reads up to the byte that holds that CRC's
// last bit and no further. So the points up to those bytes' chunks are given as soon as that
// much is known, and never one more.
int Bzip2Crew::Run(FILE* archive, uint64_t length, size_t chunk_size, uint32_t* crc,
                   Bzip2Points* points, uint64_t* given) {
  const size_t window = ring_size_;
  unsigned char* const ring = ring_.get();
  auto chunk_end = [&](uint64_t k) {  // the entry's bytes read once chunk k has been
    return ReadAfterChunks(length, k + 1, chunk_size);
  };
  uint64_t read = 0;     // bytes of the entry read into the window
  uint64_t scanned = 0;  // bytes fed to the finder
  bool read_failed = false;
  Bzip2MarkFinder finder;
  finder.Reset();
  std::array<Bzip2Mark, kMaxMarks> marks;
  size_t mark_count = 0, mark_next = 0;
  bool first_seen = false;
  uint64_t open = kNone;  // where the block whose end is not found yet starts
  uint64_t end = kNone;   // where the end magic starts
  // Points 0 .. certain - 1: one pass reads chunk 0 whatever it holds (an empty entry has none).
  uint64_t certain = length > 0 ? 1 : 0;
  uint32_t out_crc = *crc;
  uint32_t combined = 0;

  // The first byte still needed: of the oldest block not taken back, the open one or the end.
  auto base = [&]() -> uint64_t {
    if (head_ < tail_) return TaskAt(head_).start_bit / 8;
    if (open != kNone) return open / 8;
    if (end != kNone) return end / 8;
    return 0;
  };
  // Gives the certain points whose chunks are read whole; true when one asked to stop.
  auto give = [&]() {
    while (*given < certain && chunk_end(*given) <= read) {
      if (points->Point((*given)++)) return true;
    }
    return false;
  };
  auto bits32_at = [&](uint64_t bit) {
    uint64_t v = 0;
    for (uint64_t i = 0; i < 5; ++i) v = (v << 8) | ring[(bit / 8 + i) % window];
    return static_cast<uint32_t>(v >> (8 - bit % 8));
  };

  for (;;) {
    bool moved = false;

    // 1. Blocks done, in stream order.
    size_t back_count = 0;
    const int allowed = 1 + FreeHelpers();  // workers come and go
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (allowed != allowed_) {
        allowed_ = allowed;
        work_cv_.notify_all();
      }
      while (head_ < tail_ && TaskAt(head_).state == Task::kDone)
        back_[back_count++] = TaskAt(head_++);
    }
    for (size_t i = 0; i < back_count; ++i) {
      const Task& t = back_[i];
      if (!t.result.ok) return kBlocksFallBack;
      out_crc = static_cast<uint32_t>(
          crc32_combine(out_crc, t.result.crc32, static_cast<z_off_t>(t.result.length)));
      combined = RotateLeft1(combined) ^ t.result.stored_crc;
      const uint64_t next_chunk = t.end_bit / 8 / chunk_size + 1;
      if (next_chunk > certain) certain = next_chunk;
      moved = true;
    }
    if (give()) return kBlocksStopped;

    // 2. The end: every block back and the trailer read.
    uint64_t read_limit = length;
    if (end != kNone) {
      const uint64_t last_byte = (end + kTrailerBits - 1) / 8;
      read_limit = chunk_end(last_byte / chunk_size);
      if (head_ == tail_ && last_byte < read) {
        if (bits32_at(end + 48) != combined) return kBlocksFallBack;
        certain = last_byte / chunk_size + 1;
        if (give()) return kBlocksStopped;
        if (*given == certain) {
          *crc = out_crc;
          return kBlocksOk;
        }
      }
    }

    // 3. Marks found: each ends the open block and opens the next.
    bool posted = false;
    while (mark_next < mark_count) {
      const Bzip2Mark mark = marks[mark_next];
      if (mark.bit < kBzip2HeaderBits) {  // within the header: never a block's
        ++mark_next;
        continue;
      }
      if (!first_seen) {
        if (mark.bit != kBzip2HeaderBits) return kBlocksFallBack;
        first_seen = true;
      } else {
        if (mark.bit - open < kBzip2MinBlockBits) return kBlocksFallBack;
        if (tail_ - head_ >= kMaxTasks) break;  // the rest once blocks are taken back
        std::lock_guard<std::mutex> lock(mu_);
        Task& task = TaskAt(tail_);
        task.start_bit = open;
        task.end_bit = mark.bit;
        task.state = Task::kPosted;
        ++tail_;
        posted = true;
      }
      ++mark_next;
      moved = true;
      if (mark.end) {
        end = mark.bit;
        open = kNone;
        if (end + kTrailerBits > length * 8) return kBlocksFallBack;  // cut short, or not the end
        mark_next = mark_count;  // what follows the stream is not looked at
        break;
      }
      open = mark.bit;
    }
    if (posted) work_cv_.notify_all();
    if (!first_seen && mark_next == mark_count && scanned > 10) return kBlocksFallBack;

    // 4. Find the marks in what was read.
    if (end == kNone && mark_next == mark_count && scanned < read) {
      const size_t from = static_cast<size_t>(scanned % window);
      const size_t n =
          static_cast<size_t>(read - scanned < window - from ? read - scanned : window - from);
      size_t found = 0;
      scanned += finder.Feed(ring + from, n, marks.data(), marks.size(), &found);
      mark_count = found;
      mark_next = 0;
      moved = true;
    }

    // 5. Read on, within the window.
    if (!read_failed && read < read_limit) {
      const uint64_t room = window - (read - base());
      const size_t at = static_cast<size_t>(read % window);
      uint64_t n = read_limit - read;
      if (n > kReadSize) n = kReadSize;
      if (n > room) n = room;
      if (n > window - at) n = window - at;
      if (n > 0) {
        const size_t got = ReadStream(archive, ring + at, static_cast<size_t>(n));
        if (got < n || StreamFailed(archive)) read_failed = true;
        if (read == 0) {
          // "BZh" and a level digit, or libbz2 refuses the stream at its first bytes.
          if (got < 4 || memcmp(ring, "BZh", 3) != 0 || ring[3] < '1' || ring[3] > '9')
            return kBlocksFallBack;
          std::lock_guard<std::mutex> lock(mu_);
          level_ = ring[3] - '0';
        }
        read += got;
        moved = true;
        if (give()) return kBlocksStopped;
      }
    }
    if (moved) continue;

    // 6. Decode a block here, or wait for the oldest one.
    std::unique_lock<std::mutex> lock(mu_);
    if (take_ < tail_) {
      const int64_t index = take_++;
      TaskAt(index).state = Task::kTaken;
      lock.unlock();
      Decode(index, decoders_[0].get());
      continue;
    }
    if (head_ < tail_) {
      done_cv_.wait(lock, [&] { return TaskAt(head_).state == Task::kDone || take_ < tail_; });
      continue;
    }
    // Nothing out, nothing to read or find: the data ended before the stream's end, a read
    // failed, or one block does not fit the window.
    return kBlocksFallBack;
  }
}

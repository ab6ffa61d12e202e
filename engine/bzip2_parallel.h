// One long bzip2 entry decoded block by block with the block decoder of our own, on several
// threads or on one: the calling thread reads the entry's data into a window, finds the block
// magics in it, hands each block to the crew (helper threads and itself) to decode on its own,
// and takes the results back in stream order: the CRC-32 of the whole output (each block's
// summed without keeping the output, then combined), the stream's combined CRC checked against
// the stored one. With one job, or no core free for a helper, the caller decodes every block
// itself: still faster than libbz2's one pass. Only the progress points a one-
// thread decode would certainly reach are given on the way; anything unexpected (a false magic,
// a block the block decoder refuses, a wrong combined CRC, no end, a block longer than the
// window, a short read) ends the attempt with kBlocksFallBack, and the caller decodes the entry
// the plain way from its start, skipping the points already given.
//
// Memory: the window (WindowFor(jobs): 3 MiB for one job, 1 MiB more per job up to 8 MiB;
// a block of random bytes at level 9 takes about 1 MiB of it) and, per thread decoding (at
// most `jobs`), one Bzip2BlockDecoder (about 3.6 MiB), each made on first use and kept;
// nothing per block.
// Threads: jobs - 1 helpers made on first use and kept until destruction (more when a later
// run has more jobs; a run with fewer leaves the rest asleep; one job makes none). Helpers
// decode only while the cores are free: a check and its helpers together with the workers busy
// checking other entries (WorkerBusy()) keep at most `jobs` threads busy. One Bzip2Crew per run
// object; any thread may call Check(), one check runs at a time (a second caller, say a worker
// with a second long entry, is told to fall back at once: the crew has one window); Check()
// returns only when no helper touches its data.
#pragma once

#include "bzip2_blocks.h"
#include "codec.h"
#include "engine.h"  // kMaxCheckJobs

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <pthread.h>

// Where Check() sends the progress points it is sure of: point `chunk` (0 first) is the one a
// one-thread pass gives after reading its chunk of the entry. Returns true when the check is
// to end there (stopped). Called on the calling thread, in order, each point once.
class Bzip2Points {
 public:
  virtual bool Point(uint64_t chunk) = 0;

 protected:
  ~Bzip2Points() = default;
};

inline constexpr int kBlocksOk = 0;        // stream ended and verified; *crc is the entry's
inline constexpr int kBlocksStopped = 1;   // a point asked to stop (it was given)
inline constexpr int kBlocksFallBack = 2;  // decode from the start the plain way

class Bzip2Crew {
 public:
  static constexpr uint64_t kMinLength = 2 << 20;  // shorter entries are not worth the crew
  static constexpr size_t kWindowSize = 8 << 20;   // compressed bytes held ahead, at most
  // The window of a check with `jobs` threads: room for the blocks under way and as many ahead.
  static constexpr size_t WindowFor(int jobs) {
    return jobs + 2 >= 8 ? kWindowSize : static_cast<size_t>(jobs + 2) << 20;
  }
  static constexpr size_t kReadSize = 262144;  // read into the window at a time

  Bzip2Crew() = default;
  Bzip2Crew(const Bzip2Crew&) = delete;
  Bzip2Crew& operator=(const Bzip2Crew&) = delete;
  ~Bzip2Crew();  // joins the helpers

  // Threads a check may keep busy, the caller's included; 1 or less: the caller alone.
  void SetJobs(int jobs) { jobs_ = jobs < 1 ? 1 : jobs > kMaxCheckJobs ? kMaxCheckJobs : jobs; }
  // Whether Check() is worth trying on an entry of `length` compressed bytes.
  bool Wants(uint64_t length) const { return length >= min_length_; }
  // A worker of the run starts (+1) or ends (-1) an entry's check: that many cores are taken.
  void WorkerBusy(int delta) { busy_.fetch_add(delta, std::memory_order_relaxed); }

  // Checks the bzip2 stream in the `length` bytes of `archive` from its current position,
  // giving progress points for chunks of `chunk_size` bytes through `points`; *given is how
  // many were given (points 0 .. *given - 1), whatever the result. `counted`: the caller is a
  // worker counted by WorkerBusy(). Falls back at once, giving nothing, when another check is
  // under way. Decodes on the caller alone while no core is free for a helper.
  //   kBlocksOk        *crc extended by the CRC-32 of the stream's output; `archive` is left
  //                    anywhere (the caller places it)
  //   kBlocksStopped   the last point given asked to stop
  //   kBlocksFallBack  nothing certain beyond the points given; *crc unchanged
  int Check(FILE* archive, uint64_t length, size_t chunk_size, CodecBackend codec, uint32_t* crc,
            Bzip2Points* points, uint64_t* given, bool counted = false);

  // --- For tests ---
  // A shorter minimum and a window of its own (at most kWindowSize; 0: WindowFor(jobs)).
  void SetLimits(uint64_t min_length, size_t window) {
    min_length_ = min_length;
    window_ = window > kWindowSize ? kWindowSize : window;
  }
  int64_t verified() const { return verified_; }    // Check() results other than fallback
  int64_t fell_back() const { return fell_back_; }  // fallbacks
  int64_t helper_blocks() const { return helper_blocks_.load(); }  // blocks helpers decoded

 private:
  static constexpr int kMaxTasks = 64;  // blocks handed out and not yet taken back
  static constexpr size_t kMaxMarks = 64;

  struct Task {
    uint64_t start_bit = 0;
    uint64_t end_bit = 0;
    enum State : uint8_t { kPosted, kTaken, kDone } state = kPosted;
    Bzip2BlockResult result;
  };
  struct Helper {
    Bzip2Crew* owner = nullptr;
    int number = 0;  // 1 .. : helper n decodes only while n < jobs
    pthread_t thread{};
    bool running = false;
  };

  // The window, the caller's decoder and `jobs_` - 1 helpers; false when any is missing.
  bool Prepare();
  static void* HelperMain(void* helper);
  void Help(int number);
  // Decodes task `index` on `decoder`, without the lock; marks it done with the lock.
  void Decode(int64_t index, Bzip2BlockDecoder* decoder);
  Task& TaskAt(int64_t index) { return tasks_[static_cast<size_t>(index % kMaxTasks)]; }
  int Run(FILE* archive, uint64_t length, size_t chunk_size, uint32_t* crc, Bzip2Points* points,
          uint64_t* given);
  // Helpers that may decode now: the free cores, at most the helpers made.
  int FreeHelpers() const;

  int jobs_ = 1;
  uint64_t min_length_ = kMinLength;
  size_t window_ = 0;                      // the tests' window; 0: WindowFor(jobs_)
  std::unique_ptr<unsigned char[]> ring_;  // kWindowSize bytes; ring_size_ of them used
  std::array<std::unique_ptr<Bzip2BlockDecoder>, kMaxCheckJobs> decoders_;  // [0]: the caller's
  std::array<Helper, kMaxCheckJobs> helpers_;  // [0] unused: the caller
  int64_t verified_ = 0;
  int64_t fell_back_ = 0;
  std::atomic<int64_t> helper_blocks_{0};
  std::atomic<int> busy_{0};  // workers checking an entry now
  int ready_ = 1;             // the caller and the helpers running (the caller's)
  bool caller_counted_ = false;

  // The check under way, handed to the helpers with mu_: set before `active_`, left alone
  // until no helper is `running_`.
  std::mutex mu_;
  std::condition_variable work_cv_;  // helpers wait: a task posted, the check over, quit
  std::condition_variable done_cv_;  // the caller waits: a task done, no helper running
  bool quit_ = false;
  bool in_use_ = false;  // a check is under way
  bool active_ = false;
  int allowed_ = 0;  // helpers numbered below this take tasks
  int running_ = 0;  // helpers decoding now
  int level_ = 9;
  size_t ring_size_ = kWindowSize;  // the window of the check under way
  CodecBackend codec_ = CodecBackend::kZlib;
  std::atomic<bool> cancel_{false};
  std::array<Task, kMaxTasks> tasks_;
  std::array<Task, kMaxTasks> back_;  // the caller's copies of the tasks it takes back
  // Tasks in stream order: taken back below head_ (the caller's), handed out below take_, posted
  // below tail_ (the caller's).
  int64_t head_ = 0;
  int64_t take_ = 0;
  int64_t tail_ = 0;
};

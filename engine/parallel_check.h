// Entry data checked ahead on worker threads. While the archive walk (the reporting thread) reads
// records and reports, workers read ahead through the central directory and the local headers
// with streams of their own, make a plan for each entry long enough to be worth it (where its
// data lies, how long it is, its method and CRC-32), or one for a run of short entries (a
// batch), check the data with a checker of their own
// and record what a one-job check would have reported on the way: every progress point and the
// result. When the walk reaches an entry's data check it asks Take(): if the plan matches what
// the walk itself has read, the walk replays the recorded points through the Status channel
// (reading the stop request there, as one job does) and takes the result; otherwise (no plan,
// another plan) it checks the entry itself. An entry much larger than the rest is planned early:
// a cursor of its own reads the central directory ahead of the scan and hands such an entry to
// a worker out of order, so the archive's end is not one core checking one big entry while the
// others wait; its result waits for the walk like any other. The pool is parallel_check.cpp,
// the scans parallel_scan.cpp, the trace and its replay parallel_trace.cpp. Workers never
// report, never read the stop request and touch no state of the walk.
//
// Memory: per job one EntryChecker (decoders, three 16 KiB buffers), a 1 MiB stored-data buffer
// (two in an external run) and an archive stream with a 512 KiB window (a batch's data), made
// the first time that many jobs run and kept for later runs; up to 64 plans per job, each of
// which may hold a batch of 16 short entries (about 7 KiB, allocated the first time a slot
// holds one), and 2 early plans per job; three more streams with 64 KiB windows for the scans
// and a 64 KiB extra-field buffer. A plan's trace is counts, whatever the entry's length.
// Nothing is allocated per entry.
// Threads: Start(), Take() and Finish() are called by the walk's thread only; one run at a time
// per ParallelCheck (each run object has its own).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>

#include "archive_reader.h"
#include "codec.h"
#include "engine.h"  // kMaxCheckJobs
#include "entry_check.h"
#include "status.h"
#include "zip_records.h"

class Bzip2Crew;

// Which external file an entry's data was compared with: its device, inode, size and change
// time, so a worker's comparison stands only for the very file the walk itself opened.
struct FileIdentity {
  enum Kind : uint8_t {
    kNone,     // no file: an internal check, or no file was opened (CRC-32 only)
    kFile,     // the regular file below
    kUnknown,  // a stream with no file behind it (served from memory): matches nothing
  } kind = kNone;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtime_ns = 0;
};
FileIdentity IdentityOf(const struct stat& info);

// What decides an entry's data check, as the walk reads it: a worker's result stands for the
// walk's own check only when every field matches.
struct DataKey {
  uint64_t data_start;    // archive offset of the entry's first data byte
  uint64_t length;        // compressed bytes to read
  uint64_t uncompressed;  // the central directory's real size (a decoder may need it)
  uint32_t expected_crc;  // the central directory's CRC-32
  uint16_t method;        // stored, or one EntryChecker::Decodes()
  uint16_t flags;         // the local header's flags (a decoder may need them)
  bool external;          // compared with the folder (an external run, not ".DS_Store")
  FileIdentity file;      // the file compared with
};

class ParallelCheck {
 public:
  ParallelCheck() = default;
  ParallelCheck(const ParallelCheck&) = delete;
  ParallelCheck& operator=(const ParallelCheck&) = delete;
  ~ParallelCheck() { Finish(); }

  // Starts `jobs` workers for the walk of `archive_path` (`archive_size` bytes), whose central
  // directory of `entry_count` headers starts at `directory`; with `folder` (null: an internal
  // run) the workers look entries up there as the walk does and compare them, decoding deflate
  // with `codec`. Take() replays their points through `reporter`. With `jobs` 1 or less, or
  // when a stream or a thread cannot be had, nothing starts (the walk then checks every entry
  // itself) and false is returned. Opens the archive `jobs` + 2 times through the open hook;
  // workers open external files straight from the file system, never through the hook.
  bool Start(Reporter* reporter, const char* archive_path, const char* folder, bool zip64,
             uint64_t directory, int32_t entry_count, uint64_t archive_size, int jobs,
             CodecBackend codec);

  // The data check of entry `index` (indices come in increasing order; skipped ones are given
  // up). True when a worker's result stands: its progress points were replayed as status lines
  // and silent stop checks (a stop request seen there logs "Stopped" and gives kEntryStopped),
  // *rc is the result as EntryChecker::CheckDeflated or CheckStored gives it and *crc the CRC-32.
  // False when the walk must check the entry itself (an entry too short for a worker, no plan,
  // a plan that does not match `key`, a worker that compared another file than key.file, or no
  // workers); nothing was reported.
  bool Take(int32_t index, const DataKey& key, const char* entry_name, uint32_t* crc, int* rc);

  // Cancels the work ahead, joins every worker and closes every stream Start() opened. Safe to
  // call when nothing was started.
  void Finish();

  // The shortest entry data handed to a worker, stored and otherwise; the walk checks shorter
  // entries itself, without a plan or the lock: below these, handing an entry over costs more
  // than its check (a stored entry's check is mostly a copy and a CRC-32). Tests set 0 to hand
  // every entry over. Takes effect at the next Start().
  static constexpr uint64_t kDecodedHandOver = 4096;
  static constexpr uint64_t kStoredHandOver = 262144;
  void SetHandOverLengths(uint64_t decoded, uint64_t stored) {
    decoded_hand_over_ = decoded;
    stored_hand_over_ = stored;
  }

  // Whether workers are running and would check an entry of `method` with `length` bytes of
  // data: the walk then reads only its headers.
  bool HandsOver(uint16_t method, uint64_t length) const {
    return started_ && WorthAWorker(method, length);
  }

  // A thread beside the workers that keeps a core busy while *busy is true (the ETag's reader
  // in a one-read run): meanwhile at most jobs - 1 workers (at least one) check at once, so that
  // no more threads are busy than the jobs asked for. Null: none. From the next Start() on.
  void SetSharedCore(const std::atomic<bool>* busy) { shared_core_ = busy; }

  // The crew whose helpers a worker's long bzip2 entry may have while cores are free (null:
  // none); from the next Start() on.
  void SetBzip2Crew(Bzip2Crew* crew) { bzip2_crew_ = crew; }

  // Entries whose check Take() took from a worker since the last Start(), and of those the ones
  // planned early: for tests.
  int64_t taken_from_workers() const { return taken_from_workers_; }
  // Entries of batches the walk took over from their worker and checked itself.
  int64_t taken_over() const { return taken_over_; }
  // For tests: a worker waits this long before each entry of a batch it checks, so that the
  // walk catches up with it. Takes effect at once; set it while no run is under way. The pauses
  // begun so far (from any thread).
  void SetMemberPause(std::chrono::microseconds pause) { member_pause_ = pause; }
  int64_t member_pauses() const { return member_pauses_.load(std::memory_order_relaxed); }
  int64_t taken_early() const { return taken_early_; }
  // Early plans made, and early checks a worker has finished, since the last Start(): for
  // tests, from any thread (a test's status sink holds the walk until they happen).
  int64_t planned_early() const { return planned_early_.load(std::memory_order_relaxed); }
  // The most workers that checked at once since the last Start(): for tests, after Finish().
  int most_checking() const { return most_checking_; }
  int64_t checked_early() const { return checked_early_.load(std::memory_order_acquire); }

  // An entry is planned early when its compressed data is at least kEarlyLength bytes and at
  // least kEarlyTimesMean times the mean span of an entry (the central directory's offset over
  // the entry count), and a worker would check it at all. Below a few MiB an entry takes less
  // time to check than the other workers need to fill the plans ahead of it, so the usual order
  // already keeps them busy; the multiple of the mean keeps an archive of large entries alike
  // in its order. At most kEarlyPerJob early plans per job wait for the walk, and at most
  // jobs - 1 are checked at once, so a worker is always left for the entries in the walk's
  // order.
  static constexpr uint64_t kEarlyLength = 4u << 20;
  static constexpr uint64_t kEarlyTimesMean = 16;
  static constexpr int kEarlyPerJob = 2;
  // Tests set lower values (0 and 0: every entry a worker would check is planned early, as far
  // as there is room). Takes effect at the next Start().
  void SetEarlyLengths(uint64_t length, uint64_t times_mean) {
    early_length_ = length;
    early_times_mean_ = times_mean;
  }

  // A run of consecutive entries too short for a plan each is planned as one batch: up to
  // kBatchEntries of them, until their data reaches kBatchBytes. A worker checks the batch's
  // entries one after the other and the walk takes each result in turn, taking the lock only
  // when it reaches and when it leaves the batch. A walk that catches up with the worker takes
  // over the members not started yet and checks them itself.
  static constexpr int kBatchEntries = 16;
  static constexpr uint64_t kBatchBytes = 262144;

 private:
  static constexpr int kSlotsPerJob = 64;  // plans made ahead per job: results wait there
  static constexpr int kMaxSlots = kSlotsPerJob * kMaxCheckJobs;
  static constexpr int kMaxEarlySlots = kEarlyPerJob * kMaxCheckJobs;

  struct Slot;
  // One entry of a batch and, once checked, its trace: written by the checking worker before
  // it counts the entry done (Slot::members_done, release), read by the walk after that.
  struct Member final : ProgressSink {
    bool Point(bool shown_line, uint64_t unread) override;
    bool Cancelled() override;

    Slot* slot;
    DataKey key;
    FileIdentity file;
    uint32_t shown;
    uint32_t silent;
    uint64_t last_unread;
    bool short_chunk;
    bool invalid;
    int rc;
    uint32_t crc;
  };
  // Allocated for a slot the first time the scan puts a batch there, and kept. The members'
  // local (working) names are kept for the external lookup only, so a run without a folder
  // holds none (at 16 jobs the names would be 4 MiB).
  struct Batch {
    Member members[kBatchEntries];
    std::unique_ptr<char[]> names;  // kBatchEntries names of kMaxNameLen + 1 bytes, or null
    char* Name(int member) { return names.get() + static_cast<size_t>(member) * (kMaxNameLen + 1); }
  };

  // One planned entry and, once checked, its trace. The plan and `busy` are guarded by mu_; the
  // trace is written by the checking worker and read by the walk without the lock.
  struct Slot final : ProgressSink {
    bool Point(bool shown, uint64_t unread) override;
    bool Cancelled() override { return cancel.load(std::memory_order_relaxed); }
    // Plans `key` here with an empty trace (the name is the caller's to fill in).
    void Plan(const DataKey& key);

    int32_t index = -1;  // the entry planned here; -1 when free
    bool early = false;    // one of early_slots_, planned out of the scan's order
    bool busy = false;     // a worker is checking it
    bool given_up = false;  // the walk passed it while busy: the worker frees it
    DataKey key{};
    char name[kMaxNameLen + 1];  // the local (working) name, for the external lookup

    FileIdentity file;                   // what the worker compared (release: looked_up)
    std::atomic<bool> looked_up{false};  // `file` is final
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};      // rc and crc are final (release)
    std::atomic<bool> invalid{false};   // the points cannot be replayed exactly
    std::atomic<uint32_t> shown{0};     // progress lines recorded so far
    std::atomic<uint32_t> silent{0};    // silent stop checks recorded after them
    std::atomic<uint64_t> last_unread{0};  // the unread count of the last progress line
    bool short_chunk = false;  // the checker's own: a progress line after a short chunk
    int rc = 0;
    uint32_t crc = 0;

    // A batch: the entries index .. index + batch_count - 1 (0: one entry, planned above).
    int32_t batch_count = 0;
    std::atomic<int32_t> members_done{0};  // the batch's entries checked so far (release)
    // The batch's entries a worker has started, or the walk has taken over (then all of them):
    // each is claimed by whoever moves this count past it first.
    std::atomic<int32_t> members_started{0};
    std::unique_ptr<Batch> batch;
  };

  struct Worker {
    std::unique_ptr<EntryChecker> checker;
    std::unique_ptr<unsigned char[]> chunk;    // stored data, kStoredChunkSize bytes
    std::unique_ptr<unsigned char[]> compare;  // the external file's same bytes (external runs)
    std::unique_ptr<char[]> path;              // the external path tried, PATH_MAX bytes
    FILE* archive = nullptr;
    ArchiveReader* reader = nullptr;  // the stream `archive` reads through
    pthread_t thread{};
    bool running = false;
    ParallelCheck* owner = nullptr;
  };

  enum class Scan {
    kPlanned,   // a plan of its own in the slot
    kMember,    // short: added to the slot's batch
    kNoPlan,    // passed: the walk checks it (a fault, a method no worker decodes, ...)
    kBigAhead,  // long enough for a plan of its own while a batch is open: not passed
    kEnd,
  };

  // Whether an entry's data is long enough for a worker (see SetHandOverLengths).
  bool WorthAWorker(uint16_t method, uint64_t length) const;
  // Entries the scan passes without a plan before it lets the lock go for a moment.
  static constexpr int kScanRun = 64;

  static void* WorkerMain(void* worker);
  // Opens `reader` on the archive with `windows` windows of `window_size` bytes (0: reads go
  // straight to the caller). Null when the archive cannot be opened.
  FILE* OpenReader(ArchiveReader* reader, const char* path, int windows, size_t window_size);
  void CloseReader(ArchiveReader* reader);
  void Work(Worker* worker);
  void Check(Worker* worker, Slot* slot);
  void CheckBatch(Worker* worker, Slot* slot);
  // Opens the file of `name` when `key` is compared (*external; *file its identity). False when
  // the entry has no data check at all (a directory, a path too long, an unsafe name).
  bool LookUp(Worker* worker, const DataKey& key, const char* name, FILE** external,
              FileIdentity* file);
  // Checks the data of `key`, recording its points in `sink`, and closes `external`. False when
  // the check could not be made as the walk would make it (nothing to check, no such place).
  bool CheckData(Worker* worker, const DataKey& key, ProgressSink* sink, FILE* external,
                 bool checkable, int* rc, uint32_t* crc);
  // Scans the next entry into `slot` (null: only passes it), or with `members` entries already
  // in its batch, into the batch; with mu_ held. An entry planned early is passed (ending a
  // batch first: kBigAhead).
  Scan ScanNext(Slot* slot, int members);
  // Whether an early plan may be made now: the cursor has not ended, a slot is free and a job
  // is left for the walk's order. With mu_ held.
  bool EarlyRoom() const;
  // Moves the early cursor over up to kScanRun central headers and plans the first entry that
  // qualifies in the next free early slot, which it returns; null when none of them did. With
  // mu_ held and EarlyRoom().
  Slot* ScanEarly();
  // Whether entry `index` has an early plan; with mu_ held.
  bool PlannedEarly(int32_t index) const;
  void Free(Slot* slot);                // with mu_ held
  void GiveUp(Slot* slot);              // with mu_ held
  // Gives up the plans of entries before `index` and returns the plan of `index` itself, or
  // null when it has none; with mu_ held.
  Slot* GiveUpBefore(int32_t index);
  Slot* GiveUpEarlyBefore(int32_t index);  // the same for the early plans
  bool Replay(Slot* slot, const FileIdentity& file, const char* entry_name, int* rc);
  // Take() for entry `member` of the walk's current batch: false when the walk checks it
  // itself, having taken it over from a worker that had not started it.
  bool TakeMember(int member, const DataKey& key, const char* entry_name, uint32_t* crc, int* rc);
  // The walk has passed its current batch: gives it up and wakes the workers when room is made.
  void LeaveBatch(int32_t index);

  std::mutex mu_;
  std::condition_variable work_cv_;  // a plan can be made, or Finish() was called
  std::condition_variable walk_cv_;  // the entry the walk waits for is done
  bool started_ = false;
  bool stopping_ = false;
  int jobs_ = 0;
  int slots_used_ = 0;
  Reporter* reporter_ = nullptr;  // the walk's, for Replay()
  uint64_t archive_size_ = 0;
  // The plans in entry order: slots_[head_ % slots_used_] up to tail_ (not included); a freed
  // one leaves the list once every older one has left too.
  int64_t head_ = 0;
  int64_t tail_ = 0;
  std::array<Slot, kMaxSlots> slots_;
  // The early plans in entry order, kept as the plans above: early_slots_[early_head_ %
  // early_used_] up to early_tail_.
  int early_used_ = 0;
  int64_t early_head_ = 0;
  int64_t early_tail_ = 0;
  int early_running_ = 0;  // early plans being checked
  int checking_ = 0;       // workers checking a plan
  int most_checking_ = 0;
  const std::atomic<bool>* shared_core_ = nullptr;
  std::array<Slot, kMaxEarlySlots> early_slots_;
  std::array<Worker, kMaxCheckJobs> workers_;

  // The scan's two, the early cursor's, then one per worker.
  static constexpr int kEarlyReader = 2;
  static constexpr int kFirstWorkerReader = 3;
  std::array<ArchiveReader, kMaxCheckJobs + kFirstWorkerReader> readers_;
  std::array<FILE*, kMaxCheckJobs + kFirstWorkerReader> streams_{};  // what each was opened as
  // The scan, guarded by mu_: the next central header to plan and where it starts.
  std::unique_ptr<unsigned char[]> scan_extra_;    // 65,536 bytes
  std::unique_ptr<char[]> scan_name_;  // a batch member's name without a folder: kMaxNameLen + 1
  bool zip64_ = false;
  bool external_ = false;
  std::unique_ptr<char[]> folder_;  // the compared folder, PATH_MAX bytes
  int32_t entry_count_ = 0;
  int32_t next_scan_ = 0;
  uint64_t scan_position_ = 0;
  bool scan_ended_ = false;
  // The early cursor, guarded by mu_: the next central header it reads, never behind the scan.
  int32_t early_next_ = 0;
  uint64_t early_position_ = 0;
  bool early_ended_ = false;
  uint64_t early_min_ = 0;  // the length an early entry needs in this run (kEarlyLength, mean)
  int32_t taken_ = 0;         // every entry below this one is the walk's past
  int32_t walk_waiting_ = -1;  // the entry the walk sleeps on, or -1
  Slot* batch_ = nullptr;  // the walk's: the batch of the entries it is taking now
  int32_t batch_walk_from_ = 0;  // the first member of batch_ the walk took over to check itself
  int workers_waiting_ = 0;    // workers asleep on work_cv_: only then is it notified
  int64_t taken_from_workers_ = 0;
  int64_t taken_over_ = 0;
  std::chrono::microseconds member_pause_{0};
  std::atomic<int64_t> member_pauses_{0};
  Bzip2Crew* bzip2_crew_ = nullptr;  // told of every worker's check (cores taken)
  int64_t taken_early_ = 0;
  std::atomic<int64_t> planned_early_{0};
  std::atomic<int64_t> checked_early_{0};
  uint64_t decoded_hand_over_ = kDecodedHandOver;
  uint64_t stored_hand_over_ = kStoredHandOver;
  uint64_t early_length_ = kEarlyLength;
  uint64_t early_times_mean_ = kEarlyTimesMean;
};

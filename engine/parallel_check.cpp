// Entry data checked ahead: the pool of workers that check planned entries, their archive
// streams, Start() and Finish(). The scan that plans entries is in parallel_scan.cpp, the trace
// of the points and its replay on the walk's thread in parallel_trace.cpp.
#include "parallel_check.h"

#include <climits>
#include <csignal>
#include <chrono>
#include <cstring>
#include <cerrno>
#include <thread>
#include <sched.h>
#include <unistd.h>

#include "bzip2_parallel.h"
#include "engine.h"  // DefaultCheckJobs
#include "entry_headers.h"
#include "external_lookup.h"
#include "names.h"
#include "status.h"
#include "stream_io.h"

namespace {

// How soon a worker that left a core to the thread beside looks again.
constexpr auto kSharedCoreRecheck = std::chrono::milliseconds(2);
constexpr size_t kCentralWindowSize = 65536;  // the scan's window on the central directory
constexpr size_t kLocalWindowSize = 65536;    // ... and on the local headers
constexpr size_t kScanExtraSize = 65536;   // the largest 16-bit extra field
// A worker's stored chunk when nothing is compared: with several workers' chunks in turn, a
// quarter of the walk's stays in the core's cache between the copy and the CRC-32.
constexpr size_t kWorkerStoredChunk = 262144;
// A worker's window: a batch's entries lie side by side, so one read fetches them all when
// their data and headers fit (a batch's data reaches kBatchBytes only with its last entry).
// A batch that ends with a long stored entry takes a second read; twice the size would hold
// every batch whole, for a quarter of a megabyte more per worker.
constexpr size_t kWorkerWindowSize = ParallelCheck::kBatchBytes + 65536;


}  // namespace

bool ParallelCheck::WorthAWorker(uint16_t method, uint64_t length) const {
  return length >= (method == kMethodStored ? stored_hand_over_ : decoded_hand_over_);
}

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity id;
  if (!S_ISREG(info.st_mode)) {
    id.kind = FileIdentity::kUnknown;
    return id;
  }
  id.kind = FileIdentity::kFile;
  id.device = static_cast<uint64_t>(info.st_dev);
  id.inode = static_cast<uint64_t>(info.st_ino);
  id.size = static_cast<int64_t>(info.st_size);
  id.mtime_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return id;
}

int DefaultCheckJobs() {
  // The CPUs this process may run on (taskset, a container's cpuset), not every online one:
  // more workers than those would only take turns.
  cpu_set_t allowed;
  long cpus = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed)
                                                                   : sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 1) return 1;
  return cpus > kMaxCheckJobs ? kMaxCheckJobs : static_cast<int>(cpus);
}

// --- Worker side ---------------------------------------------------------------------------

void* ParallelCheck::WorkerMain(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  worker->owner->Work(worker);
  return nullptr;
}

bool ParallelCheck::LookUp(Worker* worker, const DataKey& key, const char* name, FILE** external,
                           FileIdentity* file) {
  *external = nullptr;
  if (!key.external) return true;
  struct stat info;
  ExternalLookup found = LookUpExternal(folder_.get(), name, OpenRegularFileOnDisk,
                                        worker->path.get(), external, &info);
  if (found == ExternalLookup::kOpened) {
    *file = IdentityOf(info);
    return true;
  }
  // No file: the walk checks the CRC-32 alone. A directory, a path too long or an unsafe name
  // has no data check at all.
  return found == ExternalLookup::kNoParent || found == ExternalLookup::kUnopened;
}

bool ParallelCheck::CheckData(Worker* worker, const DataKey& key, ProgressSink* sink,
                              FILE* external, bool checkable, int* rc, uint32_t* crc) {
  *crc = 0;
  *rc = kEntryOk;
  // A read error on an earlier entry stays with that entry.
  clearerr(worker->archive);
  worker->reader->failed = false;
  bool checked = false;
  if (checkable && key.data_start <= static_cast<uint64_t>(INT64_MAX) &&
      SeekStream(worker->archive, static_cast<int64_t>(key.data_start), SEEK_SET) == 0) {
    EntryChecker* checker = worker->checker.get();
    checker->SetProgressSink(sink);
    if (key.method == kMethodStored) {
      *rc = checker->CheckStored(worker->archive, key.length, crc, external, worker->chunk.get(),
                                 worker->compare.get(), kWorkerStoredChunk);
    } else {
      // The sink records points without their text; any name makes a pass "shown".
      *rc = checker->Check(key.method, {key.uncompressed, key.flags}, worker->archive,
                           key.length, key.expected_crc, crc, external, "");
    }
    checker->SetProgressSink(nullptr);
    checked = true;
  }
  CloseStream(external);
  return checked;
}

void ParallelCheck::Check(Worker* worker, Slot* slot) {
  // A long entry's chunks go straight into the checker's buffers; only its last short chunk
  // passes through the window.
  worker->reader->refill_size = kInflateChunk;
  FILE* external = nullptr;
  const bool checkable = LookUp(worker, slot->key, slot->name, &external, &slot->file);
  slot->looked_up.store(true, std::memory_order_release);
  if (!CheckData(worker, slot->key, slot, external, checkable, &slot->rc, &slot->crc))
    slot->invalid.store(true, std::memory_order_relaxed);
  slot->done.store(true, std::memory_order_release);
}

void ParallelCheck::CheckBatch(Worker* worker, Slot* slot) {
  // One refill from the first entry's data to the last one's end, which a read of a whole
  // short entry never reaches: every entry is then read from the window.
  const DataKey& first = slot->batch->members[0].key;
  const DataKey& last = slot->batch->members[slot->batch_count - 1].key;
  uint64_t span = last.data_start + last.length - first.data_start;
  if (last.data_start < first.data_start || span > kWorkerWindowSize) span = kWorkerWindowSize;
  worker->reader->refill_size = static_cast<size_t>(span) + 1;
  for (int i = 0; i < slot->batch_count; ++i) {
    int32_t unstarted = i;
    if (!slot->members_started.compare_exchange_strong(unstarted, i + 1,
                                                       std::memory_order_seq_cst))
      break;  // the walk took over the rest
    if (member_pause_.count() > 0) {
      member_pauses_.fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(member_pause_);
    }
    Member& m = slot->batch->members[i];
    if (!m.slot->cancel.load(std::memory_order_relaxed)) {
      FILE* external = nullptr;
      // Only a compared entry's lookup reads the name, and only then were the names kept.
      const char* name = m.key.external ? slot->batch->Name(i) : nullptr;
      const bool checkable = LookUp(worker, m.key, name, &external, &m.file);
      m.invalid = !CheckData(worker, m.key, &m, external, checkable, &m.rc, &m.crc);
    } else {
      m.invalid = true;  // given up by the walk: nobody reads it
    }
    slot->members_done.store(i + 1, std::memory_order_seq_cst);
  }
  slot->done.store(true, std::memory_order_release);
}

void ParallelCheck::Work(Worker* worker) {
  std::unique_lock<std::mutex> lock(mu_);
  auto sleep = [this, &lock] {
    ++workers_waiting_;
    work_cv_.wait(lock);
    --workers_waiting_;
  };
  // Checks the plan just made in `slot` without the lock. Afterwards a plan the walk gave up
  // meanwhile is freed here; a walk asleep on a single entry's plan is woken (a batch wakes it
  // member by member as it goes).
  auto check_unlocked = [&](Slot& slot, bool batch) {
    slot.busy = true;
    if (++checking_ > most_checking_) most_checking_ = checking_;
    if (slot.early) {
      ++early_tail_;
      ++early_running_;
    } else {
      ++tail_;
    }
    lock.unlock();
    if (bzip2_crew_ != nullptr) bzip2_crew_->WorkerBusy(1);
    if (batch) {
      CheckBatch(worker, &slot);
    } else {
      Check(worker, &slot);
    }
    if (bzip2_crew_ != nullptr) bzip2_crew_->WorkerBusy(-1);
    if (slot.early) checked_early_.fetch_add(1, std::memory_order_release);
    lock.lock();
    slot.busy = false;
    --checking_;
    if (slot.early) --early_running_;
    if (slot.given_up) {
      slot.given_up = false;
      Free(&slot);
      if (workers_waiting_ > 0) work_cv_.notify_all();
    } else if (!batch && walk_waiting_ == slot.index) {
      walk_cv_.notify_one();
    }
  };
  int passed = 0;  // entries scanned without a plan since the lock was last let go
  while (!stopping_) {
    // A core taken by the thread beside: this worker waits while the others use the rest. It
    // looks again soon, as that thread does not wake it when it ends or pauses.
    if (checking_ >= jobs_ - 1 && shared_core_ != nullptr &&  // jobs_ >= 2: one checks
        shared_core_->load(std::memory_order_relaxed)) {
      ++workers_waiting_;
      work_cv_.wait_for(lock, kSharedCoreRecheck);
      --workers_waiting_;
      continue;
    }
    // The early cursor goes first, a run of headers at a time, one step of the scan between.
    if (EarlyRoom()) {
      if (Slot* early = ScanEarly()) {
        planned_early_.fetch_add(1, std::memory_order_relaxed);
        check_unlocked(*early, false);
        continue;
      }
    }
    if (scan_ended_ || next_scan_ >= entry_count_ || tail_ - head_ >= slots_used_) {
      if (EarlyRoom()) {  // headers left for the cursor: the lock is let go between runs
        lock.unlock();
        lock.lock();
      } else {
        sleep();
      }
      continue;
    }
    const int32_t index = next_scan_;
    Slot& slot = slots_[static_cast<size_t>(tail_ % slots_used_)];
    // The walk checks what it has passed itself: only the entries' places are needed.
    Scan scanned = ScanNext(index < taken_ ? nullptr : &slot, 0);
    // A run of short entries becomes one batch, ended by an entry that is not short, a full
    // batch, or the last entry.
    int members = 0;
    uint64_t bytes = 0;
    while (scanned == Scan::kMember) {
      bytes += slot.batch->members[members].key.length;
      ++members;
      if (members == kBatchEntries || bytes >= kBatchBytes || scan_ended_ ||
          next_scan_ >= entry_count_)
        break;
      scanned = ScanNext(&slot, members);
    }
    if (members > 0) {
      passed = 0;
      slot.index = index;
      slot.batch_count = members;
      slot.members_done.store(0, std::memory_order_relaxed);
      slot.members_started.store(0, std::memory_order_relaxed);
      slot.done.store(false, std::memory_order_relaxed);
      slot.cancel.store(false, std::memory_order_relaxed);
      check_unlocked(slot, true);
      continue;
    }
    if (scanned != Scan::kPlanned) {
      // A long run of entries without a plan is scanned a few at a time, so the walk's Take()
      // and the other workers are not kept waiting for the lock.
      if (++passed >= kScanRun) {
        passed = 0;
        lock.unlock();
        lock.lock();
      }
      continue;
    }
    passed = 0;
    slot.index = index;
    slot.batch_count = 0;
    check_unlocked(slot, false);
  }
}

// --- The archive's streams ------------------------------------------------------------------
//
// Every worker and the scan read the archive through a reader of their own (archive_reader.h),
// each with its own position: the scan through one window on the central directory and one
// small one on the local headers, the workers straight into their checkers' buffers. A stream
// served from memory by the open hook is used as it is.

FILE* ParallelCheck::OpenReader(ArchiveReader* reader, const char* path, int windows,
                                size_t window_size) {
  CloseReader(reader);
  reader->window_count = windows;
  reader->window_size = window_size;
  reader->refill_size = window_size;
  FILE* stream = OpenArchiveFile(path, reader);
  streams_[static_cast<size_t>(reader - readers_.data())] = stream;
  return stream;
}

void ParallelCheck::CloseReader(ArchiveReader* reader) {
  FILE*& stream = streams_[static_cast<size_t>(reader - readers_.data())];
  CloseStream(stream);
  stream = nullptr;
}

// --- Start and Finish, on the walk's thread -------------------------------------------------

bool ParallelCheck::Start(Reporter* reporter, const char* archive_path, const char* folder,
                          bool zip64, uint64_t directory, int32_t entry_count,
                          uint64_t archive_size, int jobs, CodecBackend codec) {
  Finish();
  taken_from_workers_ = 0;
  taken_over_ = 0;
  taken_early_ = 0;
  planned_early_.store(0, std::memory_order_relaxed);
  checked_early_.store(0, std::memory_order_relaxed);
  if (jobs <= 1 || entry_count <= 1) return false;
  // On one CPU workers could only take turns with the walk, which would still read every
  // header itself: the walk alone checks sooner. Two CPUs or more keep every job asked for.
  if (DefaultCheckJobs() == 1) return false;
  if (jobs > kMaxCheckJobs) jobs = kMaxCheckJobs;
  reporter_ = reporter;
  archive_size_ = archive_size;

  static_assert(kScanExtraSize >= 65535, "an extra field's length is 16 bits");
  if (scan_extra_ == nullptr) {
    scan_extra_.reset(new unsigned char[kScanExtraSize]);
    scan_name_.reset(new char[kMaxNameLen + 1]);
    folder_.reset(new char[PATH_MAX]);
  }
  external_ = folder != nullptr;
  if (external_ && snprintf(folder_.get(), PATH_MAX, "%s", folder) >= PATH_MAX) return false;
  // The central directory is read straight through; local headers lie an entry's data apart,
  // so a large window there would copy the archive's data once more for nothing.
  bool ok = OpenReader(&readers_[0], archive_path, 1, kCentralWindowSize) != nullptr &&
            OpenReader(&readers_[1], archive_path, 1, kLocalWindowSize) != nullptr &&
            OpenReader(&readers_[kEarlyReader], archive_path, 1, kCentralWindowSize) != nullptr;
  for (int i = 0; ok && i < jobs; ++i) {
    Worker& w = workers_[static_cast<size_t>(i)];
    if (w.checker == nullptr) {
      w.checker.reset(new EntryChecker());
      w.chunk.reset(new unsigned char[kStoredChunkSize]);
    }
    w.checker->SetCodec(codec);
    w.checker->SetBzip2Crew(bzip2_crew_, true);
    if (external_ && w.compare == nullptr) {
      w.compare.reset(new unsigned char[kStoredChunkSize]);
      w.path.reset(new char[PATH_MAX]);
    }
    w.owner = this;
    w.reader = &readers_[static_cast<size_t>(i + kFirstWorkerReader)];
    w.archive = OpenReader(w.reader, archive_path, 1, kWorkerWindowSize);
    ok = w.archive != nullptr;
  }
  zip64_ = zip64;
  entry_count_ = entry_count;
  next_scan_ = 0;
  scan_position_ = directory;
  scan_ended_ = false;
  taken_ = 0;
  walk_waiting_ = -1;
  workers_waiting_ = 0;
  stopping_ = false;
  jobs_ = jobs;
  slots_used_ = kSlotsPerJob * jobs;
  head_ = tail_ = 0;
  for (int i = 0; i < slots_used_; ++i) {
    Slot& slot = slots_[static_cast<size_t>(i)];
    slot.index = -1;
    slot.batch_count = 0;
    slot.busy = slot.given_up = false;
  }
  early_used_ = kEarlyPerJob * jobs;
  early_head_ = early_tail_ = 0;
  early_running_ = 0;
  checking_ = 0;
  most_checking_ = 0;
  for (int i = 0; i < early_used_; ++i) {
    Slot& slot = early_slots_[static_cast<size_t>(i)];
    slot.early = true;
    slot.index = -1;
    slot.batch_count = 0;
    slot.busy = slot.given_up = false;
  }
  early_next_ = 0;
  early_position_ = directory;
  early_ended_ = false;
  // The central directory follows the entries, so its offset over the count is the mean span
  // of an entry: its local header and data.
  const uint64_t mean = directory / static_cast<uint64_t>(entry_count);
  early_min_ = early_times_mean_ != 0 && mean > UINT64_MAX / early_times_mean_
                   ? UINT64_MAX
                   : mean * early_times_mean_;
  if (early_min_ < early_length_) early_min_ = early_length_;
  batch_ = nullptr;
  started_ = true;
  if (!ok) {
    Finish();
    return false;
  }

  // Workers take no signals: a front end's handler (Ctrl-C) runs on the walk's thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  for (int i = 0; i < jobs; ++i) {
    Worker& w = workers_[static_cast<size_t>(i)];
    w.running = pthread_create(&w.thread, nullptr, WorkerMain, &w) == 0;
    if (!w.running) break;  // fewer workers: still correct, only slower
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!workers_[0].running) {
    Finish();
    return false;
  }
  return true;
}

void ParallelCheck::Finish() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    for (int i = 0; i < slots_used_; ++i)
      slots_[static_cast<size_t>(i)].cancel.store(true, std::memory_order_relaxed);
    for (int i = 0; i < early_used_; ++i)
      early_slots_[static_cast<size_t>(i)].cancel.store(true, std::memory_order_relaxed);
  }
  work_cv_.notify_all();
  for (int i = 0; i < jobs_; ++i) {
    Worker& w = workers_[static_cast<size_t>(i)];
    if (w.running) pthread_join(w.thread, nullptr);
    w.running = false;
    w.archive = nullptr;
  }
  for (ArchiveReader& reader : readers_) CloseReader(&reader);
  batch_ = nullptr;
  started_ = false;
}

// Entry data checked ahead: the scan that plans entries, the workers that check them, and the
// replay of their traces on the walk's thread.
#include "parallel_check.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <new>
#include <cerrno>
#include <sched.h>
#include <unistd.h>

#include "engine.h"  // DefaultCheckJobs
#include "entry_headers.h"
#include "external_lookup.h"
#include "names.h"
#include "status.h"
#include "stream_io.h"

namespace {

constexpr size_t kCentralWindowSize = 65536;  // the scan's window on the central directory
constexpr size_t kLocalWindowSize = 4096;    // ... and on the local headers
constexpr size_t kScanExtraSize = 65536;   // the largest 16-bit extra field
// A worker's stored chunk when nothing is compared: with several workers' chunks in turn, a
// quarter of the walk's stays in the core's cache between the copy and the CRC-32.
constexpr size_t kWorkerStoredChunk = 262144;
// How long the walk sleeps at most while the entry it needs is being checked, before it replays
// the progress points recorded so far: the pace of the status line during a long entry.
constexpr auto kReplayPace = std::chrono::milliseconds(10);

// The unread count a one-job check shows after progress point `point` (1 = the first) of an
// entry of `length` bytes whose chunks all came whole.
uint64_t UnreadAfter(uint64_t length, uint32_t point) {
  uint64_t read = static_cast<uint64_t>(point) * kInflateChunk;
  return length > read ? length - read : 0;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.kind == FileIdentity::kUnknown || a.kind != b.kind) return false;
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.mtime_ns == b.mtime_ns;
}

// Everything but the file, which a worker finds out only once it has looked it up.
bool SamePlan(const DataKey& a, const DataKey& b) {
  return a.data_start == b.data_start && a.length == b.length &&
         a.uncompressed == b.uncompressed && a.expected_crc == b.expected_crc &&
         a.method == b.method && a.flags == b.flags && a.external == b.external;
}

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

bool ParallelCheck::Slot::Point(bool shown_line, uint64_t unread) {
  if (shown_line) {
    uint32_t point = shown.load(std::memory_order_relaxed) + 1;
    // Only the last line of an entry may follow a short chunk, and every line comes before the
    // silent checks of a second pass; anything else cannot be replayed from counts.
    if (short_chunk || silent.load(std::memory_order_relaxed) != 0)
      invalid.store(true, std::memory_order_relaxed);
    if (unread != UnreadAfter(key.length, point)) short_chunk = true;
    last_unread.store(unread, std::memory_order_relaxed);
    shown.store(point, std::memory_order_release);
  } else {
    silent.store(silent.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  return cancel.load(std::memory_order_relaxed);
}

bool ParallelCheck::Member::Point(bool shown_line, uint64_t unread) {
  if (shown_line) {
    ++shown;
    if (short_chunk || silent != 0) invalid = true;  // as Slot::Point
    if (unread != UnreadAfter(key.length, shown)) short_chunk = true;
    last_unread = unread;
  } else {
    ++silent;
  }
  return Cancelled();
}

bool ParallelCheck::Member::Cancelled() { return slot->cancel.load(std::memory_order_relaxed); }

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
  FILE* external = nullptr;
  const bool checkable = LookUp(worker, slot->key, slot->name, &external, &slot->file);
  slot->looked_up.store(true, std::memory_order_release);
  if (!CheckData(worker, slot->key, slot, external, checkable, &slot->rc, &slot->crc))
    slot->invalid.store(true, std::memory_order_relaxed);
  slot->done.store(true, std::memory_order_release);
}

void ParallelCheck::CheckBatch(Worker* worker, Slot* slot) {
  for (int i = 0; i < slot->batch_count; ++i) {
    Member& m = slot->batch->members[i];
    if (!m.slot->cancel.load(std::memory_order_relaxed)) {
      FILE* external = nullptr;
      const bool checkable = LookUp(worker, m.key, m.name, &external, &m.file);
      m.invalid = !CheckData(worker, m.key, &m, external, checkable, &m.rc, &m.crc);
    } else {
      m.invalid = true;  // given up by the walk: nobody reads it
    }
    slot->members_done.store(i + 1, std::memory_order_seq_cst);
    if (walk_sleeps_on_.load(std::memory_order_seq_cst) == slot) {
      std::lock_guard<std::mutex> lock(mu_);
      walk_cv_.notify_one();
    }
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
  int passed = 0;  // entries scanned without a plan since the lock was last let go
  while (!stopping_) {
    if (scan_ended_ || next_scan_ >= entry_count_ || tail_ - head_ >= slots_used_) {
      sleep();
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
      slot.done.store(false, std::memory_order_relaxed);
      slot.cancel.store(false, std::memory_order_relaxed);
      slot.busy = true;
      ++tail_;
      lock.unlock();
      CheckBatch(worker, &slot);
      lock.lock();
      slot.busy = false;
      if (slot.given_up) {
        slot.given_up = false;
        Free(&slot);
        if (workers_waiting_ > 0) work_cv_.notify_all();
      }
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
    slot.busy = true;
    ++tail_;
    lock.unlock();
    Check(worker, &slot);
    lock.lock();
    slot.busy = false;
    if (slot.given_up) {
      slot.given_up = false;
      Free(&slot);
      if (workers_waiting_ > 0) work_cv_.notify_all();
    } else if (walk_waiting_ == index) {
      walk_cv_.notify_one();
    }
  }
}

namespace {

// The scan's reads: through the window of one of its two readers.
class ScanHeaderReader final : public HeaderReader {
 public:
  ScanHeaderReader(ArchiveReader* reader, FILE* stream) : reader_(reader), stream_(stream) {}
  bool ReadAt(uint64_t offset, void* into, size_t size) override {
    return ReadArchiveAt(reader_, stream_, offset, into, size);
  }

 private:
  ArchiveReader* reader_;
  FILE* stream_;
};

}  // namespace

// The same reading as the walk's (entry_headers.h), without its reports. An entry whose headers
// the walk would refuse gets no plan; the walk then reports it when it gets there. A central
// header that cannot be read ends the scan, since the next one's place is unknown.
ParallelCheck::Scan ParallelCheck::ScanNext(Slot* slot, int members) {
  ScanHeaderReader central_in(&readers_[0], streams_[0]);
  ScanHeaderReader local_in(&readers_[1], streams_[1]);
  CentralHeader central;
  uint64_t next = 0;
  const HeaderFault fault = ReadCentralHeader(central_in, scan_position_, &central, &next);
  if (fault == HeaderFault::kReadCentral || fault == HeaderFault::kWrongCentralSig) {
    scan_ended_ = true;
    return Scan::kEnd;
  }
  const uint64_t at = scan_position_;
  CentralValues values;
  if (slot == nullptr || fault != HeaderFault::kNone ||
      ReadCentralExtra(central_in, at, central, zip64_, scan_extra_.get(), &values) !=
          HeaderFault::kNone) {
    ++next_scan_;
    scan_position_ = next;
    return Scan::kNoPlan;
  }
  const bool long_enough = WorthAWorker(central.method, values.compressed_size);
  // A long entry after a batch is left for the next scan, which plans it in a slot of its own.
  if (long_enough && members > 0) return Scan::kBigAhead;
  ++next_scan_;
  scan_position_ = next;
  if (!long_enough && slot->batch == nullptr) slot->batch.reset(new (std::nothrow) Batch);
  if (!long_enough && slot->batch == nullptr) return Scan::kNoPlan;
  Member* member = long_enough ? nullptr : &slot->batch->members[members];
  char* name = member != nullptr ? member->name : slot->name;
  LocalData data;
  if (ReadLocalHeaders(local_in, values, name, scan_extra_.get(), &data) != HeaderFault::kNone)
    return Scan::kNoPlan;
  const DataKey key{data.data_start,
                    data.length,
                    values.uncompressed_size,
                    central.crc32,
                    central.method,
                    data.local.flags,
                    external_ && !IsDsStore(name),
                    FileIdentity{}};
  if (member != nullptr) {
    member->slot = slot;
    member->key = key;
    member->file = FileIdentity{};
    member->shown = member->silent = 0;
    member->last_unread = 0;
    member->short_chunk = member->invalid = false;
    member->rc = 0;
    member->crc = 0;
    return Scan::kMember;
  }
  slot->key = key;
  slot->cancel.store(false, std::memory_order_relaxed);
  slot->done.store(false, std::memory_order_relaxed);
  slot->invalid.store(false, std::memory_order_relaxed);
  slot->shown.store(0, std::memory_order_relaxed);
  slot->silent.store(0, std::memory_order_relaxed);
  slot->last_unread.store(0, std::memory_order_relaxed);
  slot->short_chunk = false;
  slot->file = FileIdentity{};
  slot->looked_up.store(false, std::memory_order_relaxed);
  return Scan::kPlanned;
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

// --- Walk side -----------------------------------------------------------------------------

bool ParallelCheck::Start(Reporter* reporter, const char* archive_path, const char* folder,
                          bool zip64, uint64_t directory, int32_t entry_count,
                          uint64_t archive_size, int jobs, CodecBackend codec) {
  Finish();
  taken_from_workers_ = 0;
  if (jobs <= 1 || entry_count <= 1) return false;
  if (jobs > kMaxCheckJobs) jobs = kMaxCheckJobs;
  reporter_ = reporter;
  archive_size_ = archive_size;

  static_assert(kScanExtraSize >= 65535, "an extra field's length is 16 bits");
  if (scan_extra_ == nullptr) {
    scan_extra_.reset(new unsigned char[kScanExtraSize]);
    folder_.reset(new char[PATH_MAX]);
  }
  external_ = folder != nullptr;
  if (external_ && snprintf(folder_.get(), PATH_MAX, "%s", folder) >= PATH_MAX) return false;
  // The central directory is read straight through; local headers lie an entry's data apart,
  // so a large window there would copy the archive's data once more for nothing.
  bool ok = OpenReader(&readers_[0], archive_path, 1, kCentralWindowSize) != nullptr &&
            OpenReader(&readers_[1], archive_path, 1, kLocalWindowSize) != nullptr;
  for (int i = 0; ok && i < jobs; ++i) {
    Worker& w = workers_[static_cast<size_t>(i)];
    if (w.checker == nullptr) {
      w.checker.reset(new EntryChecker());
      w.chunk.reset(new unsigned char[kStoredChunkSize]);
    }
    w.checker->SetCodec(codec);
    if (external_ && w.compare == nullptr) {
      w.compare.reset(new unsigned char[kStoredChunkSize]);
      w.path.reset(new char[PATH_MAX]);
    }
    w.owner = this;
    w.reader = &readers_[static_cast<size_t>(i) + 2];
    w.archive = OpenReader(w.reader, archive_path, 0, 0);
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

void ParallelCheck::Free(Slot* slot) {
  slot->index = -1;
  while (head_ < tail_ && slots_[static_cast<size_t>(head_ % slots_used_)].index == -1) ++head_;
}

void ParallelCheck::GiveUp(Slot* slot) {
  slot->cancel.store(true, std::memory_order_relaxed);
  if (slot->busy) {
    slot->given_up = true;
  } else {
    Free(slot);
  }
}

ParallelCheck::Slot* ParallelCheck::GiveUpBefore(int32_t index) {
  Slot* found = nullptr;
  for (int64_t at = head_; at < tail_; ++at) {
    Slot& slot = slots_[static_cast<size_t>(at % slots_used_)];
    if (slot.index == -1 || slot.given_up) continue;
    const int32_t last = slot.index + (slot.batch_count > 0 ? slot.batch_count - 1 : 0);
    if (last < index) {
      GiveUp(&slot);
    } else {
      if (slot.index <= index) found = &slot;
      break;  // plans are made in entry order
    }
  }
  if (taken_ < index) taken_ = index;
  return found;
}

void ParallelCheck::LeaveBatch(int32_t index) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!batch_->given_up) GiveUp(batch_);
  batch_ = nullptr;
  if (taken_ < index) taken_ = index;
  const bool wake = workers_waiting_ > 0 && !scan_ended_ && next_scan_ < entry_count_ &&
                    tail_ - head_ <= slots_used_ / 2;
  lock.unlock();
  if (wake) work_cv_.notify_all();
}

bool ParallelCheck::Take(int32_t index, const DataKey& key, const char* entry_name,
                         uint32_t* crc, int* rc) {
  if (!started_) return false;
  // The entries of a batch are taken without the lock, but for the first and after the last.
  if (batch_ != nullptr) {
    if (index < batch_->index + batch_->batch_count)
      return TakeMember(index - batch_->index, key, entry_name, crc, rc);
    LeaveBatch(index);
  }
  std::unique_lock<std::mutex> lock(mu_);
  Slot* slot = GiveUpBefore(index);
  if (slot != nullptr && slot->batch_count > 0) {
    batch_ = slot;
    taken_ = slot->index + slot->batch_count;
    lock.unlock();
    return TakeMember(index - slot->index, key, entry_name, crc, rc);
  }
  // A short entry no batch holds: the walk checks it.
  if (!WorthAWorker(key.method, key.length)) {
    taken_ = index + 1;
    return false;
  }
  bool usable = slot != nullptr && SamePlan(slot->key, key);
  int result = 0;
  if (usable) {
    lock.unlock();
    usable = Replay(slot, key.file, entry_name, &result);
    lock.lock();
  }
  if (slot != nullptr && !slot->given_up) {
    if (usable && result != kEntryStopped) *crc = slot->crc;
    GiveUp(slot);
  }
  // Past this entry: a scan that has not reached it yet leaves it to the walk, which has just
  // checked it.
  taken_ = index + 1;
  // Workers asleep on a full list of plans are woken once half of it is free again, not at
  // every entry.
  const bool wake = workers_waiting_ > 0 && !scan_ended_ && next_scan_ < entry_count_ &&
                    tail_ - head_ <= slots_used_ / 2;
  lock.unlock();
  if (wake) work_cv_.notify_all();
  if (!usable) return false;
  ++taken_from_workers_;
  *rc = result;
  return true;
}

bool ParallelCheck::TakeMember(int member, const DataKey& key, const char* entry_name,
                               uint32_t* crc, int* rc) {
  Slot* slot = batch_;
  while (slot->members_done.load(std::memory_order_seq_cst) <= member) {
    std::unique_lock<std::mutex> lock(mu_);
    walk_sleeps_on_.store(slot, std::memory_order_seq_cst);
    walk_cv_.wait_for(lock, kReplayPace, [slot, member] {
      return slot->members_done.load(std::memory_order_seq_cst) > member;
    });
    walk_sleeps_on_.store(nullptr, std::memory_order_relaxed);
  }
  const Member& m = slot->batch->members[member];
  if (m.invalid || !SamePlan(m.key, key) || !SameFile(m.file, key.file)) return false;
  // The points a one-job check reports, as Replay() gives them for a finished entry.
  char text[kProgressTextSize];
  for (uint32_t point = 1; point <= m.shown; ++point) {
    const uint64_t unread = point == m.shown ? m.last_unread : UnreadAfter(m.key.length, point);
    FormatProgress(text, entry_name, unread);
    const uint64_t at = m.key.data_start + (m.key.length - unread);
    if (at <= archive_size_) reporter_->Progress(at, archive_size_);
    if (reporter_->Report(kStatusLine, text)) {
      reporter_->Report(kLogLine, kStopped);
      *rc = kEntryStopped;
      ++taken_from_workers_;
      return true;
    }
  }
  for (uint32_t point = 0; point < m.silent; ++point) {
    if (reporter_->Report(kStatusLine, nullptr)) {
      reporter_->Report(kLogLine, kStopped);
      *rc = kEntryStopped;
      ++taken_from_workers_;
      return true;
    }
  }
  *rc = m.rc;
  *crc = m.crc;
  ++taken_from_workers_;
  return true;
}

// Replays the points of `slot` as the entry checker would have reported them, sleeping while
// its worker is still at it, and sets *rc to the check's result, or kEntryStopped when a point
// handed back the stop request. False, having reported nothing, when the worker compared another
// file than `file`; false also when the trace cannot be replayed (only an archive that changes
// under the run does that; the walk then checks the entry itself).
bool ParallelCheck::Replay(Slot* slot, const FileIdentity& file, const char* entry_name,
                           int* rc) {
  char text[kProgressTextSize];
  uint32_t shown_done = 0, silent_done = 0;
  bool same_file = false;
  for (;;) {
    if (!same_file && slot->looked_up.load(std::memory_order_acquire)) {
      if (!SameFile(slot->file, file)) return false;
      same_file = true;
    }
    const bool done = slot->done.load(std::memory_order_acquire);
    const uint32_t shown = slot->shown.load(std::memory_order_acquire);
    const uint32_t silent = slot->silent.load(std::memory_order_acquire);
    if (slot->invalid.load(std::memory_order_acquire)) return false;
    // A line is final once another point follows it or the check has ended.
    const bool lines_final = done || silent > 0;
    const uint32_t ready = lines_final ? shown : (shown > 0 ? shown - 1 : 0);
    while (same_file && shown_done < ready) {
      ++shown_done;
      uint64_t unread = lines_final && shown_done == shown
                            ? slot->last_unread.load(std::memory_order_relaxed)
                            : UnreadAfter(slot->key.length, shown_done);
      FormatProgress(text, entry_name, unread);
      // Where a one-job check would have read up to: the entry's data start and what it took.
      const uint64_t at = slot->key.data_start + (slot->key.length - unread);
      if (at <= archive_size_) reporter_->Progress(at, archive_size_);
      if (reporter_->Report(kStatusLine, text)) {
        reporter_->Report(kLogLine, kStopped);
        *rc = kEntryStopped;
        return true;
      }
    }
    if (same_file && lines_final) {
      while (silent_done < silent) {
        ++silent_done;
        if (reporter_->Report(kStatusLine, nullptr)) {
          reporter_->Report(kLogLine, kStopped);
          *rc = kEntryStopped;
          return true;
        }
      }
    }
    if (same_file && done) {
      *rc = slot->rc;
      return true;
    }
    std::unique_lock<std::mutex> lock(mu_);
    walk_waiting_ = slot->index;
    walk_cv_.wait_for(lock, kReplayPace,
                      [slot] { return slot->done.load(std::memory_order_acquire); });
    walk_waiting_ = -1;
  }
}

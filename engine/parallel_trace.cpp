// Entry data checked ahead: the trace of a check's points (recorded by the worker) and its
// replay on the walk's thread, where the walk takes each entry's result (parallel_check.h).
#include "parallel_check.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "status.h"

namespace {

// How long the walk sleeps at most while the entry it needs is being checked, before it replays
// the progress points recorded so far: the pace of the status line during a long entry.
constexpr auto kReplayPace = std::chrono::milliseconds(10);
// How long the walk stays awake for the member of a batch a worker is checking, and then how
// long it naps at a time: a short entry's check takes microseconds, unless its data inflates
// to far more than the entry's length.
constexpr auto kMemberSpin = std::chrono::microseconds(50);
constexpr auto kBatchNap = std::chrono::milliseconds(1);

// The unread count a one-job check shows after progress point `point` (1 = the first) of an
// entry of `length` bytes whose chunks all came whole.
uint64_t UnreadAfter(uint64_t length, uint32_t point) {
  return length - ReadAfterChunks(length, point);
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

// --- Walk side -----------------------------------------------------------------------------

void ParallelCheck::Free(Slot* slot) {
  slot->index = -1;
  if (slot->early) {
    while (early_head_ < early_tail_ &&
           early_slots_[static_cast<size_t>(early_head_ % early_used_)].index == -1)
      ++early_head_;
    return;
  }
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

ParallelCheck::Slot* ParallelCheck::GiveUpEarlyBefore(int32_t index) {
  for (int64_t at = early_head_; at < early_tail_; ++at) {
    Slot& slot = early_slots_[static_cast<size_t>(at % early_used_)];
    if (slot.index == -1 || slot.given_up) continue;
    if (slot.index > index) break;  // planned in entry order
    if (slot.index == index) return &slot;
    GiveUp(&slot);
  }
  return nullptr;
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
  // The scan passes what the early cursor planned: such an entry has no other plan.
  if (Slot* early = GiveUpEarlyBefore(index)) slot = early;
  if (slot != nullptr && slot->batch_count > 0) {
    batch_ = slot;
    batch_walk_from_ = slot->batch_count;
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
  // every entry; or when an early plan can be made again.
  const bool wake = workers_waiting_ > 0 && ((!scan_ended_ && next_scan_ < entry_count_ &&
                                              tail_ - head_ <= slots_used_ / 2) ||
                                             EarlyRoom());
  const bool early = slot != nullptr && slot->early;
  lock.unlock();
  if (wake) work_cv_.notify_all();
  if (!usable) return false;
  ++taken_from_workers_;
  if (early) ++taken_early_;
  *rc = result;
  return true;
}

bool ParallelCheck::TakeMember(int member, const DataKey& key, const char* entry_name,
                               uint32_t* crc, int* rc) {
  Slot* slot = batch_;
  if (member >= batch_walk_from_) {
    ++taken_over_;
    return false;
  }
  // Short entries are replayed many times faster than they are checked, so the walk keeps
  // catching up with the worker. Rather than wait, it takes over the members the worker has not
  // started and checks them itself, while the worker goes on to the next batch. Only for the
  // member being checked does it wait: briefly awake, as such a check is short, then napping.
  // Woken by the worker instead, it would take a core from it at every member.
  const auto since = std::chrono::steady_clock::now();
  while (slot->members_done.load(std::memory_order_seq_cst) <= member) {
    int32_t started = slot->members_started.load(std::memory_order_seq_cst);
    if (started == member &&
        slot->members_started.compare_exchange_strong(started, slot->batch_count,
                                                      std::memory_order_seq_cst)) {
      batch_walk_from_ = member;
      ++taken_over_;
      return false;
    }
    if (started == member + 1 && started < slot->batch_count &&
        slot->members_started.compare_exchange_strong(started, slot->batch_count,
                                                      std::memory_order_seq_cst))
      batch_walk_from_ = member + 1;
    if (std::chrono::steady_clock::now() - since < kMemberSpin) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(kBatchNap);
    }
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

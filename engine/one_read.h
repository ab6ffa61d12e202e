// The ETag step and the verification from one read of the archive. The ETag is computed on a
// thread of its own, reading the file from start to end; the verification runs at the same time
// on the calling thread, reading the same bytes through the page cache, and the two are kept
// within a window of each other (the ETag waits for the verification when it is that far
// ahead), so the archive comes from storage once. The window is page cache, not this process's
// memory: a quarter of what the system has available, between 64 MiB and 1 GiB. Archives mix
// entries that verify at very different speeds (stored data is only summed), so a window as
// wide as the cache allows lets each reader run at its own speed most of the way.
//
// What the sink sees is exactly what the ETag step and then the verification would show one
// after the other: every report of the ETag thread is handed to the calling thread, which passes
// it to the sink and hands the answer back (the progress line before a piece is answered late:
// the ETag reads the piece meanwhile, so that it does not wait for the calling thread, busy with
// the verification, at every report); the verification's reports are held (with what it
// writes to the name lists) until the ETag has ended. When the ETag fails or stops, the held
// reports and lists are dropped and the verification is told to stop: it shows nothing and
// writes no list. When the ETag succeeds, the held reports are passed on in order and the
// verification goes on reporting straight to the sink. A stop asked for at a held report that is
// passed on cannot reach the verification where it was asked (it has gone on): the verification
// is then run again from its start with the reports already shown swallowed, and stops there.
//
// Memory: kHeldReportBytes of held reports and kHeldListBytes per name list, allocated by the
// first run and kept, touched only as far as they fill. Held reports take about 20 bytes per
// 16 KiB of entry data and 30 per entry, so 8 MiB hold the reports of about 4 GB of archive. When
// either is full, the verification waits for the ETag to end (the ETag then no longer waits for
// it): the rest of the archive is read twice, the output stays the same.
// Threads: every call on the calling thread but BeforeRead() and the ETag thread's reports.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <pthread.h>

#include "etag.h"
#include "status.h"

inline constexpr uint64_t kMinOneReadWindow = uint64_t{64} << 20;
inline constexpr uint64_t kMaxOneReadWindow = uint64_t{1} << 30;
inline constexpr size_t kHeldReportBytes = size_t{8} << 20;
inline constexpr size_t kHeldListBytes = size_t{4} << 20;

// The window for a system with `available` bytes of memory available (0: not known).
uint64_t OneReadWindowFor(uint64_t available);
// MemAvailable of /proc/meminfo in bytes, parsed from `text`; 0 when it is not there.
uint64_t MemAvailableIn(const char* text);

// How a run made in one read ended, for the caller to finish it.
struct OneReadEnd {
  bool etag_ok = false;
  // The verification must be run again, its first `skip` reports swallowed, the last of them
  // answered with a stop request (`skip` 0: the stop request raised before it starts).
  bool rerun = false;
  int64_t skip = 0;
};

class OneRead final : public StatusSink, public EtagReadPace {
 public:
  OneRead();
  ~OneRead();
  OneRead(const OneRead&) = delete;
  OneRead& operator=(const OneRead&) = delete;

  // Starts computing the ETag of `archive` with `etag` on a thread of its own, reporting through
  // `sink` (on the calling thread, as the verification's calls here come) and obeying `stop`.
  // False, with nothing started, when no buffer or thread could be had: the caller then runs
  // the two one after the other.
  bool Begin(EtagCalculator* etag, const char* archive, const EtagOptions& options,
             StatusSink* sink, StopRequest* stop);

  // Once the verification has returned: passes on the ETag's reports until it ends, then the
  // held reports; joins the ETag thread.
  OneReadEnd Finish();

  // The name list at `path` for the verification: created as the walk would create it
  // (CreateNoFollow) once the ETag has succeeded; until then what is written is held.
  FILE* CreateList(const char* path);

  // --- The verification's sink -------------------------------------------------------------
  bool StatusLine(const char* text) override { return Pass(kStatusLine, text); }
  bool LogLine(const char* text) override { return Pass(kLogLine, text); }
  bool StopPoint() override { return Pass(kStatusLine, nullptr); }
  void Progress(uint64_t done, uint64_t total) override;
  void Console(const char* text) override;
  void Fault(int32_t entry, const char* name, const char* text) override;

  // --- The ETag's pace, on its thread ---------------------------------------------------------
  void BeforeRead(uint64_t offset) override;
  bool ProgressLine(Reporter& reporter, const char* text) override;
  bool LateStop(Reporter& reporter) override;

  // True while the ETag thread computes (not while it waits for the verification): a core the
  // verification's workers leave to it.
  const std::atomic<bool>* etag_busy() const { return &etag_busy_; }

  // For tests: smaller limits than the product's (each at most its constant above), so that the
  // held reports or lists fill up and the ETag waits for the verification in small archives;
  // the window is then `window` whatever the system's memory.
  void SetLimits(size_t report_bytes, size_t list_bytes, uint64_t window);

  // The name lists' streams (CreateList) write and close through these.
  struct List;  // one_read.cpp
  bool WriteList(List* list, const char* data, size_t size);
  void CloseList(List* list);

  class EtagSink;  // one_read.cpp

 private:
  enum class Mode { kHeld, kLive, kDropped };

  bool Pass(int kind, const char* text);
  bool Hold(uint8_t kind, const void* payload, size_t size);
  bool HoldStatus(const char* text);  // as the part it does not share with the last one
  bool HoldProgress(uint64_t done, uint64_t total);  // as the change from the last one
  void ServeEtag(bool wait);  // passes on the ETag's posted reports; waits for one when `wait`
  void Settle();              // waits for the ETag to end, then commits or drops what is held
  bool EtagEnded() const { return etag_ended_.load(std::memory_order_acquire); }
  void Replay();
  static void* EtagMain(void* self);

  size_t report_limit_ = kHeldReportBytes;
  size_t list_limit_ = kHeldListBytes;
  uint64_t window_ = kMinOneReadWindow;
  bool window_fixed_ = false;  // set by SetLimits()

  std::mutex mu_;
  std::condition_variable cv_;
  Mode mode_ = Mode::kHeld;
  StatusSink* sink_ = nullptr;
  StopRequest* stop_ = nullptr;
  EtagCalculator* etag_ = nullptr;
  const char* archive_ = nullptr;
  const EtagOptions* options_ = nullptr;
  pthread_t thread_{};
  bool running_ = false;

  // Guarded by mu_: the ETag's posted reports and their answers, its end, and the pace.
  std::unique_ptr<EtagSink> etag_sink_;
  std::atomic<bool> etag_ended_{false};  // read without the lock too
  std::atomic<bool> etag_busy_{false};
  bool etag_ok_ = false;
  std::atomic<uint64_t> verified_to_{0};  // the verification's progress in the archive
  bool verification_waits_ = false;  // it waits for the ETag's end: the ETag must not wait
  // Where the verification must have come for the ETag to read on; UINT64_MAX: it does not wait.
  std::atomic<uint64_t> pace_wanted_{UINT64_MAX};

  // The calling thread's own.
  bool stop_from_etag_ = false;  // the sink answered an ETag report with a stop request
  bool stop_raised_before_drop_ = false;
  OneReadEnd end_;
  std::unique_ptr<unsigned char[]> held_;
  size_t held_size_ = 0;
  static constexpr size_t kHeldTextSize = PATH_MAX + 64;  // status lines held in two parts
  char last_status_[kHeldTextSize];
  size_t last_status_length_ = 0;
  uint64_t last_done_ = 0;
  uint64_t last_total_ = 0;
  std::unique_ptr<List> lists_[2];
  int lists_used_ = 0;
};

// Passes every report on to `sink` but the first `skip`, which are swallowed, the last of them
// answered with a stop request: a verification run again up to where a stop was asked.
class SkipSink final : public StatusSink {
 public:
  SkipSink(StatusSink* sink, int64_t skip) : sink_(sink), skip_(skip) {}
  bool StatusLine(const char* text) override {
    bool answer;
    return Swallowed(&answer) ? answer : sink_->StatusLine(text);
  }
  bool LogLine(const char* text) override {
    bool answer;
    return Swallowed(&answer) ? answer : sink_->LogLine(text);
  }
  bool StopPoint() override {
    bool answer;
    return Swallowed(&answer) ? answer : sink_->StopPoint();
  }
  void Progress(uint64_t done, uint64_t total) override {
    bool answer;
    if (!Swallowed(&answer)) sink_->Progress(done, total);
  }
  void Console(const char* text) override {
    bool answer;
    if (!Swallowed(&answer)) sink_->Console(text);
  }
  void Fault(int32_t entry, const char* name, const char* text) override {
    bool answer;
    if (!Swallowed(&answer)) sink_->Fault(entry, name, text);
  }

 private:
  // True while reports are swallowed; *answer is the stop request for the last one.
  bool Swallowed(bool* answer) {
    if (seen_ >= skip_) return false;
    ++seen_;
    *answer = seen_ == skip_;
    return true;
  }

  StatusSink* sink_;
  int64_t skip_;
  int64_t seen_ = 0;
};

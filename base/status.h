// The Status channel: how a verification or an ETag computation tells its caller what it is
// doing and learns whether the caller asked it to stop. The caller hands in a StatusSink (the
// dialog, the command line, a test's recorder); the run holds it in a Reporter together with its
// own stop request. Several runs may report at once, each through its own Reporter and sink,
// each on one thread; a sink is called only on the thread its run reports on.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int kStatusLine = 0;  // replaces the one-line status (current activity)
inline constexpr int kLogLine = 1;     // appends one line to the message pane / log

// What a front end (or a test) does with a run's reports. Each call that returns bool returns
// true when the user asked to stop; the run's stop request is then raised and stays raised
// until its next command starts.
class StatusSink {
 public:
  // Shows `text` (never null) as the status line.
  virtual bool StatusLine(const char* text) = 0;
  // Appends `text` (never null) as a log line.
  virtual bool LogLine(const char* text) = 0;
  // A stop point that shows nothing: only asks (a front end may handle its input here).
  virtual bool StopPoint() = 0;
  // How far the current piece of work has come: `done` of `total` units (archive bytes for a
  // verification, parts for an ETag), `done` never above `total`. Shows it only.
  virtual void Progress(uint64_t done, uint64_t total) = 0;
  // Text meant for a terminal's standard output only, such as the ETag computation's
  // "\nETag: ...\n" block; printed as it stands, with its own line feeds. The dialog has no use
  // for it.
  virtual void Console(const char* text) { (void)text; }
  // A fault of the archive walk, told after its log lines for a front end that keeps faults
  // apart from the other lines (a report for machines): `entry` is the 0-based index of the
  // entry it lies in, or -1 with `name` null when it lies in no entry (the end records, the
  // archive itself); `name` is that entry's central directory name as stored (empty when it
  // could not be read). Neither a stop nor the folder's verdict is a fault. Shows nothing.
  virtual void Fault(int32_t entry, const char* name, const char* text) {
    (void)entry;
    (void)name;
    (void)text;
  }

 protected:
  ~StatusSink() = default;
};

// A sink that shows nothing and never asks to stop: for runs whose reports nobody reads.
class NullSink final : public StatusSink {
 public:
  bool StatusLine(const char*) override { return false; }
  bool LogLine(const char*) override { return false; }
  bool StopPoint() override { return false; }
  void Progress(uint64_t, uint64_t) override {}
};

// A run's stop request: raised by the caller (from any thread, or a signal handler: a lock-free
// atomic store) or by a sink's answer, cleared when a command starts.
class StopRequest {
 public:
  void Raise() { raised_.store(true, std::memory_order_relaxed); }
  void Clear() { raised_.store(false, std::memory_order_relaxed); }
  bool Raised() const { return raised_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> raised_{false};
};

// The reporting end of one run: its sink and its stop request.
class Reporter {
 public:
  Reporter(StatusSink* sink, StopRequest* stop) : sink_(sink), stop_(stop) {}

  // Shows `text` as the status line (kind 0) or appends it as a log line (kind 1); a null `text`
  // is a stop point that shows nothing. Returns the stop request as it stands after the call, so
  // a Stop handled during the call is already seen by the caller.
  bool Report(int kind, const char* text) {
    bool asked;
    if (text == nullptr) {
      asked = sink_->StopPoint();
    } else if (kind == kStatusLine) {
      asked = sink_->StatusLine(text);
    } else {
      asked = sink_->LogLine(text);
    }
    if (asked) stop_->Raise();
    return stop_->Raised();
  }
  // Passes progress on; asks for no stop request, so the stop points stay those of Report().
  void Progress(uint64_t done, uint64_t total) { sink_->Progress(done, total); }
  void Console(const char* text) { sink_->Console(text); }
  void Fault(int32_t entry, const char* name, const char* text) { sink_->Fault(entry, name, text); }
  bool StopRaised() const { return stop_->Raised(); }

 private:
  StatusSink* sink_;
  StopRequest* stop_;
};

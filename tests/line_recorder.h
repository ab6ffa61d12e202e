// A status sink of its own for each run of a test that makes its own verifiers (several at once,
// or one compared with another): every report as "<kind>:<text>" ("0:(null)" for a stop point)
// in order, every progress pair, the console text, and a stop asked for at a chosen report. Also
// one that holds the walk at its first status line, and a bounded wait for what it waits on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "status.h"

struct LineRecorder final : StatusSink {
  std::vector<std::string> lines;  // status lines, log lines and stop points, in order
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  std::string console;
  int calls = 0;
  int stop_at = 0;  // answer this report (1 = the first) and every later one with a stop

  bool StatusLine(const char* text) override { return Add("0:" + std::string(text)); }
  bool LogLine(const char* text) override { return Add("1:" + std::string(text)); }
  bool StopPoint() override { return Add("0:(null)"); }
  void Progress(uint64_t done, uint64_t total) override { progress.push_back({done, total}); }
  void Console(const char* text) override { console += text; }

 private:
  bool Add(std::string line) {
    lines.push_back(std::move(line));
    return stop_at != 0 && ++calls >= stop_at;
  }
};

// A recorder that runs `at_first` on the walk's thread at the first status line (the first
// entry's name: the workers have started), before recording it.
class HeldSink final : public StatusSink {
 public:
  LineRecorder rec;
  std::function<void()> at_first;

  bool StatusLine(const char* text) override { return Hold(), rec.StatusLine(text); }
  bool LogLine(const char* text) override { return rec.LogLine(text); }
  bool StopPoint() override { return rec.StopPoint(); }
  void Progress(uint64_t done, uint64_t total) override { rec.Progress(done, total); }

 private:
  void Hold() {
    if (!at_first) return;
    std::function<void()> once = std::move(at_first);
    at_first = nullptr;
    once();
  }
};

// Polls `done` for up to 30 seconds (a loaded machine under a sanitizer is slow).
inline bool WaitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

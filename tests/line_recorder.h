// A status sink of its own for each run of a test that makes its own verifiers (several at once,
// or one compared with another): every report as "<kind>:<text>" ("0:(null)" for a stop point)
// in order, every progress pair, the console text, and a stop asked for at a chosen report.
#pragma once

#include <cstdint>
#include <string>
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

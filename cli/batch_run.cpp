// Several archives side by side. Memory: per archive in flight one Verification (its buffers are
// made once and reused by its later archives) and the archive's recorded output; per archive
// finished but not yet printed (at most kOrderWindow per job) its output; nothing per archive
// printed. Threads: the caller's, which does all printing, reading and drawing, and one per
// archive in flight, started once and reused, each with its Verification's own workers.
#include "batch_run.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "json_writer.h"
#include "shown_text.h"
#include "terminal_status.h"
#include "texts.h"

namespace {

constexpr int kOrderWindow = 4;         // archives started past the first unprinted, per job
constexpr int kWaitMs = 50;             // the longest the caller sleeps: Ctrl-C, the status line
constexpr size_t kStatusTextSize = 2048;  // the composed status line before it is cut to fit
constexpr const char* kCutMark = "...";   // after a name longer than a path can be

// One fault as the walk told it.
struct FaultRecord {
  int32_t entry;
  bool has_name;
  std::string name;
  std::string text;
};

// The sink of one archive in flight: keeps what standard output would get (text mode) or the
// log lines and faults (JSON), and the progress for the status line. Called on the archive's
// thread; the progress is read by the caller's thread too.
class RecordingSink final : public StatusSink {
 public:
  explicit RecordingSink(const std::atomic<bool>* stop) : stop_(stop) {}
  ~RecordingSink() { Drop(); }

  // Starts the record of an archive; in text mode its output begins with `header`.
  bool Begin(bool json, const std::string& header) {
    Drop();
    json_ = json;
    done_.store(0, std::memory_order_relaxed);
    total_.store(0, std::memory_order_relaxed);
    if (json_) return true;
    text_ = open_memstream(&text_data_, &text_size_);
    if (text_ == nullptr) return false;
    WriteShown(text_, header.data(), header.size());
    fputc('\n', text_);
    return true;
  }
  // Ends the text record with `outcome` as its last line and hands it over; empty when memory
  // ran out.
  std::string TakeText(const char* outcome) {
    std::string out;
    if (text_ == nullptr) return out;
    WriteShown(text_, outcome, strlen(outcome));
    fputc('\n', text_);
    const bool ok = fclose(text_) == 0;
    text_ = nullptr;
    if (ok && text_data_ != nullptr) out.assign(text_data_, text_size_);
    Drop();
    return out;
  }
  const std::vector<std::string>& logs() const { return logs_; }
  const std::vector<FaultRecord>& faults() const { return faults_; }
  unsigned Percent() const {
    const uint64_t total = total_.load(std::memory_order_relaxed);
    const uint64_t done = done_.load(std::memory_order_relaxed);
    return total == 0 ? 0 : static_cast<unsigned>(static_cast<double>(done) * 100.0 /
                                                  static_cast<double>(total));
  }
  void Drop() {
    if (text_ != nullptr) fclose(text_);
    text_ = nullptr;
    free(text_data_);
    text_data_ = nullptr;
    text_size_ = 0;
    std::vector<std::string>().swap(logs_);  // a long log's memory goes with it
    std::vector<FaultRecord>().swap(faults_);
  }

  bool StatusLine(const char*) override { return Stop(); }
  bool LogLine(const char* text) override {
    if (json_) {
      logs_.emplace_back(text, LogTextLength(text));
    } else if (text_ != nullptr) {
      WriteLogText(text_, text);
    }
    return Stop();
  }
  bool StopPoint() override { return Stop(); }
  void Progress(uint64_t done, uint64_t total) override {
    done_.store(done, std::memory_order_relaxed);
    total_.store(total, std::memory_order_relaxed);
  }
  void Console(const char* text) override {
    if (!json_ && text_ != nullptr) fputs(text, text_);
  }
  void Fault(int32_t entry, const char* name, const char* text) override {
    if (json_) faults_.push_back({entry, name != nullptr, name != nullptr ? name : "", text});
  }

 private:
  bool Stop() const { return stop_->load(std::memory_order_relaxed); }

  const std::atomic<bool>* stop_;
  bool json_ = false;
  FILE* text_ = nullptr;  // open_memstream over text_data_
  char* text_data_ = nullptr;
  size_t text_size_ = 0;
  std::vector<std::string> logs_;
  std::vector<FaultRecord> faults_;
  std::atomic<uint64_t> done_{0};
  std::atomic<uint64_t> total_{0};
};

const char* ResultWord(CommandOutcome::Kind kind) {
  switch (kind) {
    case CommandOutcome::kVerified:
      return "verified";
    case CommandOutcome::kStopped:
      return "stopped";
    default:
      return "failed";
  }
}

// The JSON object of one archive, on one line.
std::string ArchiveJson(const std::string& shown_name, const CommandOutcome& outcome,
                        const RecordingSink& sink, const Verification& verification,
                        bool etag_done, double seconds) {
  std::string out;
  JsonWriter json(&out);
  json.BeginObject();
  json.Key("archive");
  json.String(shown_name.c_str(), shown_name.size());
  json.Key("result");
  json.String(ResultWord(outcome.kind));
  json.Key("text");
  json.String(outcome.text);
  json.Key("log");
  json.BeginArray();
  for (const std::string& line : sink.logs()) json.String(line.c_str(), line.size());
  json.EndArray();
  json.Key("faults");
  json.BeginArray();
  for (const FaultRecord& fault : sink.faults()) {
    json.BeginObject();
    json.Key("entry");
    if (fault.entry >= 0) {
      json.Int(fault.entry);
    } else {
      json.Null();
    }
    json.Key("name");
    if (fault.has_name) {
      json.String(fault.name.c_str(), fault.name.size());
    } else {
      json.Null();
    }
    json.Key("text");
    json.String(fault.text.c_str(), fault.text.size());
    json.EndObject();
  }
  json.EndArray();
  json.Key("entries");
  if (verification.EntryCount() >= 0) {
    json.Int(verification.EntryCount());
  } else {
    json.Null();
  }
  const EtagCalculator& etag = verification.etag();
  json.Key("md5");
  etag_done ? json.String(etag.md5()) : json.Null();
  json.Key("etag");
  etag_done ? json.String(etag.etag()) : json.Null();
  json.Key("part_size");
  etag_done ? json.Int(static_cast<int64_t>(etag.part_size())) : json.Null();
  json.Key("checksums");
  if (etag_done) {
    const ChecksumValues& checksums = etag.checksums();
    json.BeginObject();
    for (int i = 0; i < checksums.count; ++i) {
      json.Key(ChecksumName(checksums.algs[i]));
      json.String(checksums.values[i]);
    }
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("seconds");
  json.Fixed(seconds, 3);
  json.EndObject();
  out.push_back('\n');
  return out;
}

// The line before an archive's output: "Archive: NAME" (shown when printed).
std::string Header(const std::string& name) {
  const size_t size = strlen(kArchiveHeaderFmt) + name.size() + 1;
  std::string out(size, '\0');
  const int n = snprintf(out.data(), size, kArchiveHeaderFmt, name.c_str());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

class Batch;

// One archive in flight at a time, on a thread of its own.
struct Slot {
  explicit Slot(Batch* owner, const std::atomic<bool>* stop) : batch(owner), sink(stop) {}

  Batch* batch;
  Verification verification;
  RecordingSink sink;
  pthread_t thread{};
  bool has_thread = false;

  // Set by the caller before the start, read by the slot's thread while it runs.
  long index = 0;
  std::string name;  // as named: what is opened
  bool cut = false;  // the name was longer than a path can be
  int jobs = 1;
  // Written by the slot's thread while it runs, read by the caller once it is done.
  std::string output;
  CommandOutcome::Kind kind = CommandOutcome::kFailed;

  // The caller's own view: an archive was started here and not yet collected.
  bool busy = false;
  // Guarded by Batch::mu_.
  enum State { kIdle, kRunning, kDone } state = kIdle;
  bool quit = false;
};

class Batch {
 public:
  explicit Batch(const BatchOptions& options) : options_(options) {
    jobs_ = options.verify.jobs < 1 ? 1 : options.verify.jobs;
  }
  ~Batch();

  int Run(ArchiveNames& names);

  // The work of one archive, on its slot's thread (or the caller's when no thread could be had).
  void Verify(Slot* slot);
  static void* SlotThread(void* arg);

 private:
  bool ReadAhead(ArchiveNames& names);
  Slot* IdleSlot();
  void Start(Slot* slot, long index, std::string name, bool cut, int jobs);
  void Collect();
  void PrintReady();
  void Print(const std::string& text);
  void DrawStatus();
  void Wait(int list_fd);

  struct Pending {
    long index;
    std::string name;
    bool cut;
  };

  BatchOptions options_;
  int jobs_;
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<Slot>> slots_;
  std::mutex mu_;
  std::condition_variable work_cv_;
  int wake_pipe_[2] = {-1, -1};  // a slot's thread writes a byte when its archive is done

  std::deque<Pending> pending_;  // named, not started
  std::map<long, std::pair<std::string, CommandOutcome::Kind>> finished_;  // done, not printed
  long next_index_ = 0;  // the index the next name gets
  long next_print_ = 0;
  int running_ = 0;
  int jobs_held_ = 0;
  bool list_ended_ = false;
  bool list_failed_ = false;
  long printed_ = 0;
  long verified_ = 0, failed_ = 0, stopped_ = 0;
};

Batch::~Batch() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& slot : slots_) slot->quit = true;
  }
  work_cv_.notify_all();
  for (auto& slot : slots_)
    if (slot->has_thread) pthread_join(slot->thread, nullptr);
  for (int fd : wake_pipe_)
    if (fd >= 0) close(fd);
}

void* Batch::SlotThread(void* arg) {
  Slot* slot = static_cast<Slot*>(arg);
  Batch* batch = slot->batch;
  std::unique_lock<std::mutex> lock(batch->mu_);
  for (;;) {
    batch->work_cv_.wait(lock, [slot] { return slot->quit || slot->state == Slot::kRunning; });
    if (slot->quit) return nullptr;
    lock.unlock();
    batch->Verify(slot);
    lock.lock();
    slot->state = Slot::kDone;
    const char byte = 1;
    // Only wakes the caller early; it looks at every slot at least every kWaitMs anyway.
    const ssize_t woken = write(batch->wake_pipe_[1], &byte, 1);
    (void)woken;
  }
}

void Batch::Verify(Slot* slot) {
  std::string shown_name = slot->name;
  if (slot->cut) shown_name += kCutMark;
  slot->output.clear();
  if (!slot->sink.Begin(options_.json, options_.json ? "" : Header(shown_name))) {
    slot->kind = CommandOutcome::kFailed;
    return;  // no memory for its output: nothing is printed, and the run fails
  }
  VerifyOptions run = options_.verify;
  run.archive = slot->name.c_str();
  run.jobs = slot->jobs;
  const auto start = std::chrono::steady_clock::now();
  const CommandOutcome outcome = slot->verification.Run(run, &slot->sink);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  slot->kind = outcome.kind;
  if (options_.json) {
    slot->output = ArchiveJson(shown_name, outcome, slot->sink, slot->verification,
                               options_.verify.etag && !outcome.from_etag, seconds);
    slot->sink.Drop();
  } else {
    slot->output = slot->sink.TakeText(outcome.text);
  }
}

// Takes names until as many wait to start as there are jobs, the list has nothing to give now
// (false) or it has ended. A list that cannot be read is said so on standard error and ends.
bool Batch::ReadAhead(ArchiveNames& names) {
  while (!list_ended_ && pending_.size() < static_cast<size_t>(jobs_)) {
    std::string name;
    bool cut = false;
    const ArchiveNames::Next got = names.TryNext(&name, &cut);
    if (got == ArchiveNames::Next::kName) {
      pending_.push_back({next_index_++, std::move(name), cut});
      continue;
    }
    if (got == ArchiveNames::Next::kWait) return false;
    if (got == ArchiveNames::Next::kFailed) {
      const int error = errno;
      ClearStatusLine();
      fprintf(stderr, "vormic-cli: --files-from: cannot read '");
      WriteShown(stderr, options_.list_name, strlen(options_.list_name));
      fprintf(stderr, "': %s\n", strerror(error));
      list_failed_ = true;
    }
    list_ended_ = true;
  }
  return true;
}

Slot* Batch::IdleSlot() {
  for (auto& slot : slots_)
    if (!slot->busy) return slot.get();
  if (slots_.size() >= static_cast<size_t>(jobs_)) return nullptr;
  slots_.push_back(std::make_unique<Slot>(this, &stop_));
  Slot* slot = slots_.back().get();
  // Without a thread of its own the slot's archives run on the caller's thread, one at a time.
  slot->has_thread = pthread_create(&slot->thread, nullptr, SlotThread, slot) == 0;
  return slot;
}

void Batch::Start(Slot* slot, long index, std::string name, bool cut, int jobs) {
  slot->index = index;
  slot->name = std::move(name);
  slot->cut = cut;
  slot->jobs = jobs;
  slot->busy = true;
  ++running_;
  jobs_held_ += jobs;
  if (!slot->has_thread) {
    Verify(slot);
    slot->state = Slot::kDone;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    slot->state = Slot::kRunning;
  }
  work_cv_.notify_all();
}

void Batch::Collect() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& slot : slots_) {
    if (slot->state != Slot::kDone) continue;
    finished_[slot->index] = {std::move(slot->output), slot->kind};
    slot->output = std::string();
    slot->state = Slot::kIdle;
    slot->busy = false;
    --running_;
    jobs_held_ -= slot->jobs;
  }
}

void Batch::Print(const std::string& text) {
  ClearStatusLine();
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0 ||
      ferror(stdout)) {
    NoteOutputFailure();
    stop_.store(true);  // nobody can read the rest
  }
}

void Batch::PrintReady() {
  for (auto it = finished_.find(next_print_); it != finished_.end();
       it = finished_.find(next_print_)) {
    Print(it->second.first);
    ++printed_;
    switch (it->second.second) {
      case CommandOutcome::kVerified:
        ++verified_;
        break;
      case CommandOutcome::kStopped:
        ++stopped_;
        break;
      default:
        ++failed_;
    }
    finished_.erase(it);
    ++next_print_;
  }
}

// "<done> done | <archive> <percent>% | ...": the archives finished (printed or waiting for an
// earlier one), then those under way in the order named.
void Batch::DrawStatus() {
  char text[kStatusTextSize];
  int n = snprintf(text, sizeof text, "%ld done", printed_ + static_cast<long>(finished_.size()));
  std::map<long, const Slot*> under_way;
  for (const auto& slot : slots_)
    if (slot->busy) under_way[slot->index] = slot.get();
  for (const auto& [index, slot] : under_way) {
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) break;
    n += snprintf(text + n, sizeof text - static_cast<size_t>(n), " | %s %u%%",
                  slot->name.c_str(), slot->sink.Percent());
  }
  ShowStatus(text);
}

void Batch::Wait(int list_fd) {
  pollfd fds[2] = {{wake_pipe_[0], POLLIN, 0}, {list_fd, POLLIN, 0}};
  if (poll(fds, list_fd >= 0 ? 2 : 1, kWaitMs) > 0 && (fds[0].revents & POLLIN) != 0) {
    char bytes[64];
    while (read(wake_pipe_[0], bytes, sizeof bytes) > 0) {
    }
  }
}

int Batch::Run(ArchiveNames& names) {
  if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe_[0] = wake_pipe_[1] = -1;
  const long window = static_cast<long>(kOrderWindow) * jobs_;
  for (;;) {
    if (g_interrupts > 0) stop_.store(true);
    Collect();
    PrintReady();
    if (stop_.load()) {
      pending_.clear();  // archives not yet started are not verified
    } else {
      ReadAhead(names);
    }
    // Start what the jobs and the order window allow: each archive gets the free jobs shared
    // among the archives waiting to start.
    while (!stop_.load() && !pending_.empty() && jobs_held_ < jobs_ &&
           pending_.front().index - next_print_ < window) {
      Slot* slot = IdleSlot();
      if (slot == nullptr) break;
      const int free_jobs = jobs_ - jobs_held_;
      const int waiting = static_cast<int>(pending_.size());
      const int share = waiting < free_jobs ? waiting : free_jobs;
      Pending next = std::move(pending_.front());
      pending_.pop_front();
      Start(slot, next.index, std::move(next.name), next.cut, free_jobs / share);
    }
    if (running_ == 0 && pending_.empty() && (list_ended_ || stop_.load())) break;
    if (options_.live) DrawStatus();
    Wait(pending_.size() < static_cast<size_t>(jobs_) && !stop_.load() ? names.list_fd() : -1);
  }
  ClearStatusLine();
  const bool stopped = stopped_ > 0 || (stop_.load() && g_interrupts > 0);
  if (printed_ == 0 && !stopped) {
    // An empty list, or one that could not be read at all (said above): nothing was verified.
    if (!list_failed_)
      fputs("vormic-cli: no ARCHIVE named\nTry 'vormic-cli --help' for more information.\n",
            stderr);
    return kBatchUsage;
  }
  std::string closing;
  if (options_.json) {
    JsonWriter json(&closing);
    json.BeginObject();
    json.Key("summary");
    json.BeginObject();
    json.Key("archives");
    json.Int(printed_);
    json.Key("verified");
    json.Int(verified_);
    json.Key("failed");
    json.Int(failed_);
    json.Key("stopped");
    json.Int(stopped_);
    json.EndObject();
    json.Key("format");
    json.Int(1);
    json.EndObject();
    closing.push_back('\n');
  } else {
    char line[64];
    snprintf(line, sizeof line, kArchivesVerifiedFmt, static_cast<int>(verified_),
             static_cast<int>(printed_));
    closing = line;
    closing.push_back('\n');
    if (stopped) closing += std::string(kStoppedByUser) + "\n";
  }
  Print(closing);
  if (stopped) return kBatchStopped;
  return verified_ == printed_ && !list_failed_ ? kBatchVerified : kBatchFailed;
}

}  // namespace

int RunBatch(const BatchOptions& options, ArchiveNames& names) {
  Batch batch(options);
  return batch.Run(names);
}

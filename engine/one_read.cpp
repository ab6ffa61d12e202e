// The ETag step and the verification from one read: the ETag thread, the hand-over of its
// reports, the held reports and name lists, and the pace that keeps the two readers together.
#include "one_read.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <new>

#include "stream_io.h"

namespace {

// What a held report or an ETag report is.
// The last two keep the held reports that come every 16 KiB of an entry's data short: a status
// line as the length of what it shares with the one before and the rest; progress as the change
// from the one before, and its total only when that changes.
enum : uint8_t {
  kHeldStatus,
  kHeldLog,
  kHeldStopPoint,
  kHeldProgress,
  kHeldConsole,
  kHeldFault,
  kHeldStatusAfter,
  kHeldProgressSameTotal
};

constexpr size_t kHeldHeader = 1 + 5;  // kind, payload length (a varint of up to 5 bytes)

// Little-endian base-128: at most 10 bytes for 64 bits.
size_t PutVarint(uint64_t value, unsigned char* out) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<unsigned char>(value);
  return n;
}

uint64_t GetVarint(const unsigned char** in) {
  uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const unsigned char byte = *(*in)++;
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0 || shift >= 63) return value;
  }
}
constexpr size_t kPostedTextSize = 2048;  // longer than any text the ETag step reports
constexpr auto kPaceRecheck = std::chrono::milliseconds(50);  // for a stop request while waiting

// Passes one report on to `sink`; the answer of those that ask for the stop request.
bool Deliver(StatusSink* sink, uint8_t kind, const char* text, uint64_t done, uint64_t total) {
  switch (kind) {
    case kHeldStatus: return sink->StatusLine(text);
    case kHeldLog: return sink->LogLine(text);
    case kHeldStopPoint: return sink->StopPoint();
    case kHeldProgress: sink->Progress(done, total); return false;
    default: sink->Console(text); return false;
  }
}

// A held fault: the entry (4 bytes), a byte that says whether it has a name, then the name and
// the text, each terminated (both are far shorter than PATH_MAX).
constexpr size_t kFaultRoom = sizeof(int32_t) + 2 + 2 * PATH_MAX;

size_t PackFault(int32_t entry, const char* name, const char* text, unsigned char* out) {
  memcpy(out, &entry, sizeof entry);
  size_t at = sizeof entry;
  out[at++] = name == nullptr ? 0 : 1;
  for (const char* part : {name != nullptr ? name : "", text}) {
    const size_t len = strnlen(part, PATH_MAX - 1);
    memcpy(out + at, part, len);
    at += len;
    out[at++] = '\0';
  }
  return at;
}

void DeliverFault(StatusSink* sink, const unsigned char* payload) {
  int32_t entry;
  memcpy(&entry, payload, sizeof entry);
  const char* name = reinterpret_cast<const char*>(payload + sizeof entry + 1);
  const char* text = name + strlen(name) + 1;
  sink->Fault(entry, payload[sizeof entry] != 0 ? name : nullptr, text);
}

}  // namespace

// The ETag thread's sink: its reports wait there, in order, until the calling thread has passed
// them on. A report that asks for the stop request waits for its answer, but for the progress
// line before a piece (posted late: the piece is read meanwhile, and LateStop() waits for the
// answer); progress waits for nothing. So the ETag thread waits for the caller at most once a
// piece, not at each of its reports. Fields guarded by the owner's mutex.
class OneRead::EtagSink final : public StatusSink {
 public:
  explicit EtagSink(OneRead* owner) : owner_(owner) {}
  bool StatusLine(const char* line) override { return Post(kHeldStatus, line, 0, 0); }
  bool LogLine(const char* line) override { return Post(kHeldLog, line, 0, 0); }
  bool StopPoint() override { return Post(kHeldStopPoint, nullptr, 0, 0); }
  void Progress(uint64_t units, uint64_t of) override { Post(kHeldProgress, nullptr, units, of); }
  void Console(const char* block) override { Post(kHeldConsole, block, 0, 0); }

  struct Posted {
    uint8_t kind = 0;
    char text[kPostedTextSize] = {};
    uint64_t done = 0;
    uint64_t total = 0;
  };
  // Progress, the late line and one more: the most that can wait at once.
  static constexpr int64_t kPostedCount = 4;
  Posted posted[kPostedCount];
  // Reports posted so far (posted[i % kPostedCount]); read without the lock by the calling
  // thread, which passes them on only when there are some.
  std::atomic<int64_t> posted_end{0};
  int64_t served = 0;  // reports passed on so far: written by the calling thread only
  bool answer = false;     // the answer to the last report passed on that asks
  bool late_next = false;  // the next line is the late one
  int64_t late = -1;       // the late line's number while its answer is awaited
  bool late_answer = false;

  void Reset() {
    posted_end.store(0, std::memory_order_relaxed);
    served = 0;
    answer = late_next = late_answer = false;
    late = -1;
  }
  bool Pending() const { return served < posted_end.load(std::memory_order_acquire); }

 private:
  bool Post(uint8_t report_kind, const char* report_text, uint64_t report_done,
            uint64_t report_total) {
    std::unique_lock<std::mutex> lock(owner_->mu_);
    const int64_t number = posted_end.load(std::memory_order_relaxed);
    owner_->cv_.wait(lock, [this, number] { return number - served < kPostedCount; });
    Posted& p = posted[number % kPostedCount];
    p.kind = report_kind;
    snprintf(p.text, sizeof p.text, "%s", report_text != nullptr ? report_text : "");
    p.done = report_done;
    p.total = report_total;
    posted_end.store(number + 1, std::memory_order_release);
    owner_->cv_.notify_all();
    if (report_kind == kHeldProgress) return false;
    if (late_next) {
      late_next = false;
      late = number;
      return false;
    }
    owner_->cv_.wait(lock, [this, number] { return served > number; });
    return answer;
  }

  OneRead* owner_;
};

// A name list while the verification's reports are held: what the walk writes is kept in
// `bytes`, and the file is created and filled once the ETag has succeeded.
struct OneRead::List {
  OneRead* owner = nullptr;
  char path[PATH_MAX] = {};
  std::unique_ptr<unsigned char[]> bytes;
  size_t size = 0;
  FILE* file = nullptr;  // the created list, once committed
  bool open = false;     // the walk has not closed it yet
};

OneRead::OneRead() : etag_sink_(new EtagSink(this)) {}

OneRead::~OneRead() {
  if (running_) pthread_join(thread_, nullptr);
}

void* OneRead::EtagMain(void* self) {
  OneRead& o = *static_cast<OneRead*>(self);
  Reporter reporter(o.etag_sink_.get(), o.stop_);
  const bool ok = o.etag_->Compute(o.archive_, *o.options_, reporter, &o);
  std::lock_guard<std::mutex> lock(o.mu_);
  o.etag_busy_.store(false, std::memory_order_relaxed);
  o.etag_ok_ = ok;
  o.etag_ended_.store(true, std::memory_order_release);
  o.cv_.notify_all();
  return nullptr;
}

uint64_t MemAvailableIn(const char* text) {
  static const char kKey[] = "MemAvailable:";
  const char* at = strstr(text, kKey);
  if (at == nullptr || (at != text && at[-1] != '\n')) return 0;
  unsigned long long kib = 0;
  if (sscanf(at + sizeof kKey - 1, "%llu kB", &kib) != 1) return 0;
  return kib > UINT64_MAX / 1024 ? UINT64_MAX : static_cast<uint64_t>(kib) * 1024;
}

uint64_t OneReadWindowFor(uint64_t available) {
  const uint64_t quarter = available / 4;
  if (quarter < kMinOneReadWindow) return kMinOneReadWindow;
  return quarter > kMaxOneReadWindow ? kMaxOneReadWindow : quarter;
}

namespace {

uint64_t MemAvailable() {
  FILE* file = fopen("/proc/meminfo", "re");
  if (file == nullptr) return 0;
  char text[4096];
  const size_t size = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[size] = '\0';
  return MemAvailableIn(text);
}

}  // namespace

bool OneRead::Begin(EtagCalculator* etag, const char* archive, const EtagOptions& options,
                    StatusSink* sink, StopRequest* stop) {
  if (held_ == nullptr) held_.reset(new (std::nothrow) unsigned char[kHeldReportBytes]);
  for (std::unique_ptr<List>& list : lists_) {
    if (list == nullptr) list.reset(new (std::nothrow) List);
    if (list != nullptr && list->bytes == nullptr)
      list->bytes.reset(new (std::nothrow) unsigned char[kHeldListBytes]);
    if (list == nullptr || list->bytes == nullptr) return false;
  }
  if (held_ == nullptr) return false;
  if (!window_fixed_) window_ = OneReadWindowFor(MemAvailable());
  mode_ = Mode::kHeld;
  sink_ = sink;
  stop_ = stop;
  etag_ = etag;
  archive_ = archive;
  options_ = &options;
  etag_ended_.store(false, std::memory_order_relaxed);
  etag_ok_ = false;
  etag_sink_->Reset();
  verified_to_.store(0, std::memory_order_relaxed);
  verification_waits_ = false;
  pace_wanted_.store(UINT64_MAX, std::memory_order_relaxed);
  stop_from_etag_ = false;
  stop_raised_before_drop_ = false;
  end_ = OneReadEnd();
  held_size_ = 0;
  last_status_length_ = 0;
  last_done_ = last_total_ = 0;
  lists_used_ = 0;
  etag_busy_.store(true, std::memory_order_relaxed);
  running_ = pthread_create(&thread_, nullptr, EtagMain, this) == 0;
  if (!running_) etag_busy_.store(false, std::memory_order_relaxed);
  return running_;
}

void OneRead::ServeEtag(bool wait) {
  EtagSink& e = *etag_sink_;
  // Called at every report of the verification: nothing to pass on costs no lock.
  if (!wait && !e.Pending()) return;
  std::unique_lock<std::mutex> lock(mu_);
  if (wait) cv_.wait(lock, [&e, this] { return e.Pending() || EtagEnded(); });
  while (e.Pending()) {
    // The ETag thread leaves a posted report as it is until it is passed on.
    const EtagSink::Posted& p = e.posted[e.served % EtagSink::kPostedCount];
    lock.unlock();
    const bool answer = Deliver(sink_, p.kind, p.kind == kHeldStopPoint ? nullptr : p.text, p.done,
                                p.total);
    if (answer) stop_from_etag_ = true;
    lock.lock();
    if (e.served == e.late) {
      e.late_answer = answer;
      e.late = -1;
    } else {
      e.answer = answer;
    }
    ++e.served;
    cv_.notify_all();
  }
}

bool OneRead::ProgressLine(Reporter& reporter, const char* text) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    etag_sink_->late_next = true;
  }
  return reporter.Report(kStatusLine, text);
}

bool OneRead::LateStop(Reporter& reporter) {
  bool asked;
  {
    std::unique_lock<std::mutex> lock(mu_);
    EtagSink& e = *etag_sink_;
    cv_.wait(lock, [&e] { return e.late < 0; });
    asked = e.late_answer;
    e.late_answer = false;
  }
  // What the line's own report would have done with the answer.
  if (asked) stop_->Raise();
  return reporter.StopRaised();
}

void OneRead::Settle() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    verification_waits_ = true;  // from here on the ETag must not wait for the verification
    cv_.notify_all();
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (EtagEnded() && !etag_sink_->Pending()) break;
    }
    ServeEtag(true);
  }
  pthread_join(thread_, nullptr);
  running_ = false;
  if (!etag_ok_) {
    // Nothing of the verification is shown: it is answered with stop requests from here on,
    // which are taken back when it has ended unless the user's own was among them.
    stop_raised_before_drop_ = stop_->Raised();
    mode_ = Mode::kDropped;
    return;
  }
  end_.etag_ok = true;
  if (stop_from_etag_) {
    // Asked at one of the ETag's last reports: the verification must stop at its first status
    // line, which it has already passed.
    mode_ = Mode::kDropped;
    stop_raised_before_drop_ = true;
    end_.rerun = true;
    end_.skip = 0;
    return;
  }
  for (int i = 0; i < lists_used_; ++i) {
    List& list = *lists_[i];
    list.file = CreateNoFollow(list.path);
    if (list.file != nullptr && list.size != 0) fwrite(list.bytes.get(), 1, list.size, list.file);
    if (list.file != nullptr && !list.open) {
      CloseStream(list.file);
      list.file = nullptr;
    }
  }
  Replay();
}

void OneRead::Replay() {
  int64_t count = 0;
  char text[kHeldTextSize];
  size_t text_length = 0;
  uint64_t done = 0, total = 0;
  for (size_t at = 0; at < held_size_;) {
    const unsigned char* record = held_.get() + at;
    const unsigned char* payload = record + 1;
    const size_t size = static_cast<size_t>(GetVarint(&payload));
    at = static_cast<size_t>(payload - held_.get()) + size;
    uint8_t kind = record[0];
    const char* shown = reinterpret_cast<const char*>(payload);
    if (kind == kHeldStatusAfter) {
      const unsigned char* p = payload;
      const size_t shared = static_cast<size_t>(GetVarint(&p));
      const size_t rest = size - static_cast<size_t>(p - payload);
      memcpy(text + shared, p, rest);
      text_length = shared + rest;
      text[text_length] = '\0';
      kind = kHeldStatus;
      shown = text;
    } else if (kind == kHeldProgress || kind == kHeldProgressSameTotal) {
      const unsigned char* p = payload;
      const uint64_t change = GetVarint(&p);
      done += (change & 1) != 0 ? ~(change >> 1) : change >> 1;
      if (kind == kHeldProgress) total = GetVarint(&p);
      kind = kHeldProgress;
    }
    ++count;
    if (kind == kHeldFault) {
      DeliverFault(sink_, payload);
      continue;
    }
    if (Deliver(sink_, kind, shown, done, total)) {
      // The verification has gone past this report: it is run again and stops here.
      stop_->Raise();
      end_.rerun = true;
      end_.skip = count;
      stop_raised_before_drop_ = true;
      mode_ = Mode::kDropped;
      held_size_ = 0;
      return;
    }
  }
  held_size_ = 0;
  mode_ = Mode::kLive;
}

bool OneRead::HoldStatus(const char* text) {
  const size_t length = strlen(text);
  if (length >= kHeldTextSize) return Hold(kHeldStatus, text, length + 1);
  size_t shared = 0;
  while (shared < length && shared < last_status_length_ && text[shared] == last_status_[shared])
    ++shared;
  unsigned char payload[10 + kHeldTextSize];
  size_t size = PutVarint(shared, payload);
  memcpy(payload + size, text + shared, length - shared);
  size += length - shared;
  if (!Hold(kHeldStatusAfter, payload, size)) return false;
  memcpy(last_status_ + shared, text + shared, length - shared);
  last_status_length_ = length;
  return true;
}

bool OneRead::HoldProgress(uint64_t done, uint64_t total) {
  unsigned char payload[20];
  const uint64_t change = done >= last_done_ ? (done - last_done_) << 1
                                             : ((last_done_ - done - 1) << 1) | 1;
  size_t size = PutVarint(change, payload);
  const bool same_total = total == last_total_;  // the replay starts from 0 too
  if (!same_total) size += PutVarint(total, payload + size);
  if (!Hold(same_total ? kHeldProgressSameTotal : kHeldProgress, payload, size)) return false;
  last_done_ = done;
  last_total_ = total;
  return true;
}

bool OneRead::Hold(uint8_t kind, const void* payload, size_t size) {
  if (held_size_ + kHeldHeader > report_limit_ || size > report_limit_ - kHeldHeader - held_size_)
    return false;
  unsigned char* record = held_.get() + held_size_;
  record[0] = kind;
  const size_t header = 1 + PutVarint(size, record + 1);
  if (size != 0) memcpy(record + header, payload, size);
  held_size_ += header + size;
  return true;
}

bool OneRead::Pass(int kind, const char* text) {
  const uint8_t held_kind = text == nullptr ? kHeldStopPoint
                            : kind == kStatusLine ? kHeldStatus
                                                  : kHeldLog;
  for (;;) {
    if (mode_ == Mode::kHeld) {
      ServeEtag(false);
      if (EtagEnded() && !etag_sink_->Pending()) Settle();
    }
    if (mode_ == Mode::kLive) return Deliver(sink_, held_kind, text, 0, 0);
    if (mode_ == Mode::kDropped) return true;
    if (held_kind == kHeldStatus ? HoldStatus(text)
                                 : Hold(held_kind, text, text == nullptr ? 0 : strlen(text) + 1))
      return false;
    Settle();  // no room left: the ETag must end first
  }
}

void OneRead::Progress(uint64_t done, uint64_t total) {
  for (;;) {
    if (mode_ == Mode::kHeld) {
      // The ETag thread sets pace_wanted_ before it looks at verified_to_ and waits under the
      // lock, and this thread stores verified_to_ before it looks at pace_wanted_ (both
      // sequentially consistent): one of the two sees the other, so no wake-up is lost. Woken
      // only once it may read on: woken at every report, it would take the lock and a system
      // call from the verification each time, and the verification would fall further behind.
      if (done > verified_to_.load(std::memory_order_relaxed)) {
        verified_to_.store(done);
        if (done >= pace_wanted_.load()) {
          std::lock_guard<std::mutex> lock(mu_);
          cv_.notify_all();
        }
      }
      ServeEtag(false);
    }
    if (mode_ == Mode::kLive) return sink_->Progress(done, total);
    if (mode_ == Mode::kDropped) return;
    if (HoldProgress(done, total)) return;
    Settle();
  }
}

void OneRead::Console(const char* text) {
  for (;;) {
    if (mode_ == Mode::kLive) return sink_->Console(text);
    if (mode_ == Mode::kDropped) return;
    if (Hold(kHeldConsole, text, strlen(text) + 1)) return;
    Settle();
  }
}

void OneRead::Fault(int32_t entry, const char* name, const char* text) {
  for (;;) {
    if (mode_ == Mode::kLive) return sink_->Fault(entry, name, text);
    if (mode_ == Mode::kDropped) return;
    unsigned char payload[kFaultRoom];
    if (Hold(kHeldFault, payload, PackFault(entry, name, text, payload))) return;
    Settle();
  }
}

void OneRead::BeforeRead(uint64_t offset) {
  if (offset <= verified_to_.load() + window_) return;
  // Once too far ahead, the ETag waits until the verification is half a window behind, not
  // until it may take one more read: woken for every read, the two threads would take turns on
  // one core (a woken thread is put on its waker's) instead of running side by side.
  const uint64_t wanted = offset - window_ / 2;
  std::unique_lock<std::mutex> lock(mu_);
  pace_wanted_.store(wanted);
  etag_busy_.store(false, std::memory_order_relaxed);
  while (verified_to_.load() < wanted && !verification_waits_ && !stop_->Raised())
    cv_.wait_for(lock, kPaceRecheck);
  etag_busy_.store(true, std::memory_order_relaxed);
  pace_wanted_.store(UINT64_MAX, std::memory_order_relaxed);
}

void OneRead::SetLimits(size_t report_bytes, size_t list_bytes, uint64_t window) {
  report_limit_ = report_bytes < kHeldReportBytes ? report_bytes : kHeldReportBytes;
  list_limit_ = list_bytes < kHeldListBytes ? list_bytes : kHeldListBytes;
  window_ = window;
  window_fixed_ = true;
}

OneReadEnd OneRead::Finish() {
  if (mode_ == Mode::kHeld) Settle();
  if (running_) {
    pthread_join(thread_, nullptr);
    running_ = false;
  }
  if (mode_ == Mode::kDropped && !stop_raised_before_drop_) stop_->Clear();
  for (int i = 0; i < lists_used_; ++i) {
    List& list = *lists_[i];
    if (list.file != nullptr) CloseStream(list.file);  // only when the walk left it open
    list.file = nullptr;
  }
  return end_;
}

// --- Name lists ----------------------------------------------------------------------------

namespace {

ssize_t ListCookieWrite(void* cookie, const char* data, size_t size);
int ListCookieClose(void* cookie);

}  // namespace

FILE* OneRead::CreateList(const char* path) {
  if (mode_ == Mode::kLive) return CreateNoFollow(path);
  if (mode_ == Mode::kDropped || lists_used_ == 2) return nullptr;
  List& list = *lists_[lists_used_];
  if (strlen(path) >= sizeof list.path) return nullptr;
  ++lists_used_;
  list.owner = this;
  memcpy(list.path, path, strlen(path) + 1);
  list.size = 0;
  list.file = nullptr;
  list.open = true;
  cookie_io_functions_t functions = {};
  functions.write = ListCookieWrite;
  functions.close = ListCookieClose;
  return fopencookie(&list, "w", functions);
}

bool OneRead::WriteList(List* list, const char* data, size_t size) {
  for (;;) {
    if (mode_ == Mode::kHeld) {
      if (size <= list_limit_ - list->size) {
        memcpy(list->bytes.get() + list->size, data, size);
        list->size += size;
        return true;
      }
      Settle();
      continue;
    }
    // Committed (the file, if it could be created), or dropped.
    if (list->file != nullptr) return fwrite(data, 1, size, list->file) == size;
    return true;
  }
}

void OneRead::CloseList(List* list) {
  list->open = false;
  if (list->file != nullptr) {
    CloseStream(list->file);
    list->file = nullptr;
  }
}

namespace {

ssize_t ListCookieWrite(void* cookie, const char* data, size_t size) {
  OneRead::List* list = static_cast<OneRead::List*>(cookie);
  return list->owner->WriteList(list, data, size) ? static_cast<ssize_t>(size) : -1;
}

int ListCookieClose(void* cookie) {
  OneRead::List* list = static_cast<OneRead::List*>(cookie);
  list->owner->CloseList(list);
  return 0;
}

}  // namespace

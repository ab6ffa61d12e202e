// The fuzz programs' Status channel, memory archive and scratch folders.
#include "fuzz_support.h"

#include <stdio.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "run_state.h"  // kEndSearchSpan
#include "test_run.h"
#include "seed_archives.h"
#include "status.h"
#include "stream_io.h"
#include "zip_records.h"

namespace fuzz {

StatusLog g_status;

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;
int g_openMemory = 0;
// The current input as a file of its own (memfd), for the inputs served as a file: the engine
// then reads it through its positional readers and their windows, as it reads an archive on
// disk. -1 until the first such input.
int g_memoryFile = -1;
bool g_servedAsFile = false;
std::string g_scratch;
std::string g_compare;
bool g_verbose = false;  // VORMIC_FUZZ_VERBOSE set: log lines and results go to stderr

// A read-only stream over the current input that behaves as a file does: seeks anywhere at or
// after the start succeed (fmemopen refuses seeks past the end, which a file allows), reads past
// the end give nothing.
struct MemoryFile {
  const uint8_t* data;
  size_t size;
  int64_t pos;
};

ssize_t MemoryRead(void* cookie, char* buffer, size_t size) {
  auto* f = static_cast<MemoryFile*>(cookie);
  if (f->pos < 0 || static_cast<uint64_t>(f->pos) >= f->size) return 0;
  size_t left = f->size - static_cast<size_t>(f->pos);
  size_t n = size < left ? size : left;
  memcpy(buffer, f->data + f->pos, n);
  f->pos += static_cast<int64_t>(n);
  return static_cast<ssize_t>(n);
}

int MemorySeek(void* cookie, off64_t* offset, int whence) {
  auto* f = static_cast<MemoryFile*>(cookie);
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : static_cast<int64_t>(f->size);
  if (*offset > INT64_MAX - base) return -1;
  int64_t target = base + *offset;
  if (target < 0) return -1;
  f->pos = target;
  *offset = target;
  return 0;
}

int MemoryClose(void* cookie) {
  delete static_cast<MemoryFile*>(cookie);
  --g_openMemory;
  return 0;
}

FILE* OpenHook(const char* path) {
  if (strcmp(path, kMemoryArchivePath) != 0) {
    // Everything else (the external files of an external run) comes from the file system.
    SetOpenHook(nullptr);
    FILE* stream = OpenRegularFile(path);
    SetOpenHook(OpenHook);
    return stream;
  }
  if (g_servedAsFile) {
    // A descriptor of its own, with its own offset, on the same file.
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", g_memoryFile);
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) close(fd);
    return stream;
  }
  cookie_io_functions_t io{};
  io.read = MemoryRead;
  io.seek = MemorySeek;
  io.close = MemoryClose;
  auto* f = new MemoryFile{g_data, g_size, 0};
  FILE* stream = fopencookie(f, "rb", io);
  if (stream == nullptr) {
    delete f;
    return nullptr;
  }
  ++g_openMemory;
  return stream;
}

void RemoveScratch() {
  std::error_code ec;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ec);
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Require(out.good(), "cannot write the comparison folder");
}

}  // namespace

void UseOpenHook(bool use) { SetOpenHook(use ? OpenHook : nullptr); }

void ResetStatus(int stop_at) {
  g_status.reports.clear();
  g_status.calls = 0;
  g_status.stop_at = stop_at;
  g_status.status_after_stop = 0;
  g_status.saw_verified = false;
  ClearRunStop();
}

void SetUpOnce() {
  if (!g_scratch.empty()) return;
  g_verbose = getenv("VORMIC_FUZZ_VERBOSE") != nullptr;
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                     "/vormic-fuzz-XXXXXX";
  Require(mkdtemp(tmpl.data()) != nullptr, "cannot create the scratch folder");
  g_scratch = tmpl;
  atexit(RemoveScratch);
  std::filesystem::create_directories(g_scratch + "/lists");
  Require(SetNameListFolder((g_scratch + "/lists").c_str()), "name list folder too long");
  // The folder's parent holds only the folder, so the second try of a lookup stays inside the
  // scratch folder.
  g_compare = g_scratch + "/root/top";
  for (const auto& f : fuzz_seeds::FolderFiles()) WriteWhole(g_compare + "/" + f.name, f.bytes);
  SetOpenHook(OpenHook);
}

bool Verbose() { return g_verbose; }

const std::string& ScratchFolder() { return g_scratch; }
const std::string& CompareFolder() { return g_compare; }

void ServeFromMemory(const uint8_t* data, size_t size) {
  g_data = data;
  g_size = size;
  // Every other input by its size is served as a file, so both ways of reading an archive are
  // fuzzed: the windows over a descriptor, and a stream the engine cannot read positionally.
  g_servedAsFile = size % 2 == 0;
  if (!g_servedAsFile) return;
  if (g_memoryFile < 0) g_memoryFile = memfd_create("vormic-fuzz-input", MFD_CLOEXEC);
  Require(g_memoryFile >= 0, "memfd_create");
  Require(ftruncate(g_memoryFile, 0) == 0, "ftruncate");
  for (size_t done = 0; done < size;) {
    const ssize_t n = pwrite(g_memoryFile, data + done, size - done, static_cast<off_t>(done));
    Require(n > 0, "pwrite to the input's file");
    done += static_cast<size_t>(n);
  }
}

int OpenMemoryStreams() { return g_openMemory; }

int StopPointFor(const uint8_t* data, size_t size, int reports) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < size && i < 256; ++i) h = (h ^ data[i]) * 16777619u;
  h ^= static_cast<uint32_t>(size);
  return 1 + static_cast<int>(h % static_cast<uint32_t>(reports));
}

bool HasEndRecordSignature(const uint8_t* data, size_t size) {
  if (size < kEndRecordLen) return false;
  size_t first = size > kEndSearchSpan ? size - kEndSearchSpan : 0;
  for (size_t i = first; i + kEndRecordLen <= size; ++i)
    if (data[i] == 'P' && data[i + 1] == 'K' && data[i + 2] == 5 && data[i + 3] == 6) return true;
  return false;
}

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}


void RequireClosed(int fds_before) {
  Require(!TestVerification().HoldsOpenStreams(), "archive stream or name list left open");
  Require(g_openMemory == 0, "memory archive stream not closed");
  Require(CountOpenFds() == fds_before, "descriptor left open after the run");
}

}  // namespace fuzz

namespace {

// Keeps counts and flags only (and every report when asked): the targets run millions of times.
// Progress is shown nowhere here; a fraction above its whole is a fault of the reporting code.
class FuzzSink final : public StatusSink {
 public:
  bool StatusLine(const char* text) override { return Record(kStatusLine, text); }
  bool LogLine(const char* text) override { return Record(kLogLine, text); }
  bool StopPoint() override { return Record(kStatusLine, nullptr); }
  void Progress(uint64_t done, uint64_t total) override {
    fuzz::Require(done <= total, "progress past its total");
  }

 private:
  static bool Record(int kind, const char* text) {
    fuzz::StatusLog& s = fuzz::g_status;
    ++s.calls;
    if (RunStopRequested() && kind == kStatusLine) ++s.status_after_stop;
    const bool stop = s.stop_at != 0 && s.calls >= s.stop_at;
    if (text != nullptr && kind == kLogLine && strncmp(text, "Verified ", 9) == 0)
      s.saw_verified = true;
    if (fuzz::Verbose() && kind == kLogLine) fprintf(stderr, "  log: %s\n", text ? text : "(null)");
    if (s.keep_all) s.reports.push_back({kind, text != nullptr ? text : "(null)"});
    return stop;
  }
};

}  // namespace

StatusSink* TestSink() {
  static FuzzSink sink;
  return &sink;
}

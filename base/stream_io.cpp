// POSIX side of the file-access seam of the engine and the ETag calculator.
#include "stream_io.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ReadStream calls since the seam was last set; the engine's workers (parallel_check.h) count too.
std::atomic<uint64_t> g_readCalls{0};
uint64_t g_faultAt = 0;        // the call to cut short; 0 = none
size_t g_faultAllowed = 0;     // bytes that call may read
bool g_faultFails = false;     // whether that call marks the stream failed
std::atomic<FILE*> g_failedStream{nullptr};  // the stream an injected failure marked
OpenHook g_openHook = nullptr;   // replaces the file system in OpenRegularFile when set
// The streams AddDirectStream() registered. Several runs register and remove their streams at
// the same time, each reading only its own: a slot is claimed by swapping its empty handle for a
// mark no stream has, its functions are written, and only then is the handle published, so a
// lookup that finds its own handle always finds its functions whole. A slot is written only by
// the thread that registers or removes its stream.
struct DirectEntry {
  std::atomic<FILE*> handle{nullptr};
  DirectStream functions;
};
DirectEntry g_direct[kMaxDirectStreams];
std::atomic<int> g_directHigh{0};  // slots ever used: lookups look no further
FILE* const kClaimed = reinterpret_cast<FILE*>(&g_directHigh);  // never a stream's address

const DirectStream* DirectOf(FILE* stream) {
  const int high = g_directHigh.load(std::memory_order_acquire);
  for (int i = 0; i < high; ++i)
    if (g_direct[i].handle.load(std::memory_order_acquire) == stream) return &g_direct[i].functions;
  return nullptr;
}

size_t PlainRead(FILE* stream, void* buffer, size_t size) {
  if (const DirectStream* d = DirectOf(stream)) return d->read(d->self, buffer, size);
  return fread(buffer, 1, size, stream);
}

}  // namespace

FILE* OpenRegularFile(const char* path, struct stat* info) {
  if (g_openHook != nullptr) {
    FILE* served = g_openHook(path);
    if (served != nullptr && info != nullptr &&
        (fileno(served) < 0 || fstat(fileno(served), info) != 0))
      info->st_mode = 0;
    return served;
  }
  return OpenRegularFileOnDisk(path, info);
}

FILE* OpenRegularFileOnDisk(const char* path, struct stat* info) {
  // O_NONBLOCK so that opening a FIFO without a writer returns at once; cleared again below
  // since it is only there for the open itself.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  if (info != nullptr) *info = st;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* stream = fdopen(fd, "rb");
  if (stream == nullptr) close(fd);
  return stream;
}

FILE* CreateNoFollow(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // a FIFO or device planted there
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) close(fd);
  return stream;
}

PathKind KindOf(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kRegular;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

bool IsDirectory(const char* path) { return KindOf(path) == PathKind::kDirectory; }

size_t ReadStream(FILE* stream, void* buffer, size_t size) {
  uint64_t call = g_readCalls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (g_faultAt != 0 && call == g_faultAt) {
    size_t allowed = g_faultAllowed < size ? g_faultAllowed : size;
    size_t got = allowed == 0 ? 0 : PlainRead(stream, buffer, allowed);
    if (g_faultFails) g_failedStream = stream;
    return got;
  }
  return PlainRead(stream, buffer, size);
}

bool AddDirectStream(FILE* handle, const DirectStream* direct) {
  if (handle == nullptr) return false;
  for (int i = 0; i < kMaxDirectStreams; ++i) {
    FILE* empty = nullptr;
    if (!g_direct[i].handle.compare_exchange_strong(empty, kClaimed, std::memory_order_acq_rel))
      continue;
    g_direct[i].functions = *direct;
    int high = g_directHigh.load(std::memory_order_relaxed);
    while (high < i + 1 && !g_directHigh.compare_exchange_weak(high, i + 1)) {
    }
    g_direct[i].handle.store(handle, std::memory_order_release);
    return true;
  }
  return false;
}

void RemoveDirectStream(FILE* handle) {
  const int high = g_directHigh.load(std::memory_order_acquire);
  for (int i = 0; i < high; ++i) {
    if (g_direct[i].handle.load(std::memory_order_acquire) == handle) {
      g_direct[i].handle.store(nullptr, std::memory_order_release);
      return;
    }
  }
}

bool StreamFailed(FILE* stream) {
  const DirectStream* d = DirectOf(stream);
  if (d != nullptr && d->failed(d->self)) return true;
  return ferror(stream) != 0 || stream == g_failedStream.load(std::memory_order_relaxed);
}

void ClearStreamFailure(FILE* stream) {
  const DirectStream* d = DirectOf(stream);
  if (d != nullptr && d->clear != nullptr) d->clear(d->self);
  clearerr(stream);
  FILE* failed = stream;
  g_failedStream.compare_exchange_strong(failed, nullptr, std::memory_order_relaxed);
}

int SeekStream(FILE* stream, int64_t offset, int whence) {
  if (const DirectStream* d = DirectOf(stream)) return d->seek(d->self, offset, whence);
  return fseeko(stream, static_cast<off_t>(offset), whence);
}

int64_t TellStream(FILE* stream) {
  if (const DirectStream* d = DirectOf(stream)) return d->tell(d->self);
  return static_cast<int64_t>(ftello(stream));
}

void InjectReadFault(uint64_t nth, size_t allowed, bool fail) {
  g_readCalls.store(0, std::memory_order_relaxed);
  g_faultAt = nth;
  g_faultAllowed = allowed;
  g_faultFails = fail;
  g_failedStream = nullptr;
}

void SetOpenHook(OpenHook hook) { g_openHook = hook; }

void ClearReadFault() { InjectReadFault(0, 0, false); }

uint64_t ReadCallCount() { return g_readCalls.load(std::memory_order_relaxed); }

int CloseStream(FILE* stream) {
  if (stream == nullptr) return 0;
  if (stream == g_failedStream) g_failedStream = nullptr;
  return fclose(stream);
}

// POSIX side of the engine's file access.
#include "stream_io.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint64_t g_readCalls = 0;      // ReadStream calls since the seam was last set
uint64_t g_faultAt = 0;        // the call to cut short; 0 = none
size_t g_faultAllowed = 0;     // bytes that call may read
bool g_faultFails = false;     // whether that call marks the stream failed
FILE* g_failedStream = nullptr;  // the stream an injected failure marked
OpenHook g_openHook = nullptr;   // replaces the file system in OpenRegularFile when set

// --- The archive's window reader ------------------------------------------------------------
//
// The walk jumps between the central directory and each entry's local header and data. Through
// stdio every jump costs a seek and a refill, twice per entry: most of the time of an archive
// of small files. The window reader keeps two windows of the file, the one refilled least
// recently giving way, so a seek only moves a position. Reads of a window or more (a stored
// entry's chunks) go straight to the caller's buffer. ReadStream, SeekStream, TellStream and
// StreamFailed serve the stream directly, never through stdio's buffer (a cookie stream would
// copy every byte through it once more); the cookie functions keep the FILE usable by stdio
// too, at the same position.

constexpr size_t kWindowSize = 256 * 1024;

struct WindowReader {
  FILE* handle = nullptr;  // the cookie stream given out; null when none is open
  FILE* plain = nullptr;   // the stream OpenRegularFile gave; closed with the handle
  int fd = -1;
  int64_t position = 0;
  bool failed = false;  // a pread failed: the stream's error indicator
  struct Window {
    int64_t start = 0;
    size_t length = 0;
    unsigned char bytes[kWindowSize];
  } windows[2];
  int last_used = 0;
};
WindowReader g_reader;

size_t WindowRead(WindowReader* r, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    WindowReader::Window* hit = nullptr;
    for (int i = 0; i < 2; ++i) {
      WindowReader::Window& w = r->windows[i];
      if (r->position >= w.start && r->position - w.start < static_cast<int64_t>(w.length)) {
        hit = &w;
        r->last_used = i;
      }
    }
    if (hit == nullptr) {
      bool direct = size - done >= kWindowSize;
      int victim = 1 - r->last_used;
      unsigned char* into = direct ? buffer + done : r->windows[victim].bytes;
      size_t want = direct ? size - done : kWindowSize;
      ssize_t n = pread(r->fd, into, want, static_cast<off_t>(r->position));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        r->failed = true;
        break;
      }
      if (n == 0) break;  // the end of the file
      if (direct) {
        done += static_cast<size_t>(n);
        r->position += n;
        continue;
      }
      r->windows[victim].start = r->position;
      r->windows[victim].length = static_cast<size_t>(n);
      hit = &r->windows[victim];
      r->last_used = victim;
    }
    size_t offset = static_cast<size_t>(r->position - hit->start);
    size_t n = hit->length - offset < size - done ? hit->length - offset : size - done;
    memcpy(buffer + done, hit->bytes + offset, n);
    done += n;
    r->position += static_cast<int64_t>(n);
  }
  return done;
}

int WindowSeek(WindowReader* r, int64_t offset, int whence) {
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = r->position;
  } else if (whence == SEEK_END) {
    struct stat st;
    if (fstat(r->fd, &st) != 0) return -1;
    base = st.st_size;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  r->position = base + offset;
  return 0;
}

ssize_t CookieRead(void* cookie, char* buffer, size_t size) {
  auto* r = static_cast<WindowReader*>(cookie);
  size_t n = WindowRead(r, reinterpret_cast<unsigned char*>(buffer), size);
  return n == 0 && r->failed ? -1 : static_cast<ssize_t>(n);
}

int CookieSeek(void* cookie, off64_t* offset, int whence) {
  auto* r = static_cast<WindowReader*>(cookie);
  if (WindowSeek(r, *offset, whence) != 0) return -1;
  *offset = r->position;
  return 0;
}

int CookieClose(void* cookie) {
  auto* r = static_cast<WindowReader*>(cookie);
  int rc = fclose(r->plain);
  r->handle = r->plain = nullptr;
  r->fd = -1;
  return rc;
}

}  // namespace

FILE* OpenArchiveFile(const char* path) {
  FILE* plain = OpenRegularFile(path);
  if (plain == nullptr || g_reader.handle != nullptr) return plain;
  int fd = fileno(plain);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return plain;  // a memory stream
  cookie_io_functions_t io{};
  io.read = CookieRead;
  io.seek = CookieSeek;
  io.close = CookieClose;
  FILE* handle = fopencookie(&g_reader, "rb", io);
  if (handle == nullptr) return plain;
  g_reader.handle = handle;
  g_reader.plain = plain;
  g_reader.fd = fd;
  g_reader.position = 0;
  g_reader.failed = false;
  g_reader.windows[0].length = g_reader.windows[1].length = 0;
  return handle;
}

FILE* OpenRegularFile(const char* path, struct stat* info) {
  if (g_openHook != nullptr) {
    FILE* served = g_openHook(path);
    if (served != nullptr && info != nullptr &&
        (fileno(served) < 0 || fstat(fileno(served), info) != 0))
      info->st_mode = 0;
    return served;
  }
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

namespace {
size_t PlainRead(FILE* stream, void* buffer, size_t size) {
  if (stream == g_reader.handle) {
    return WindowRead(&g_reader, static_cast<unsigned char*>(buffer), size);
  }
  return fread(buffer, 1, size, stream);
}
}  // namespace

size_t ReadStream(FILE* stream, void* buffer, size_t size) {
  ++g_readCalls;
  if (g_faultAt != 0 && g_readCalls == g_faultAt) {
    size_t allowed = g_faultAllowed < size ? g_faultAllowed : size;
    size_t got = allowed == 0 ? 0 : PlainRead(stream, buffer, allowed);
    if (g_faultFails) g_failedStream = stream;
    return got;
  }
  return PlainRead(stream, buffer, size);
}

bool StreamFailed(FILE* stream) {
  if (stream == g_reader.handle && g_reader.failed) return true;
  return ferror(stream) != 0 || (g_failedStream != nullptr && stream == g_failedStream);
}

int SeekStream(FILE* stream, int64_t offset, int whence) {
  if (stream == g_reader.handle) return WindowSeek(&g_reader, offset, whence);
  return fseeko(stream, static_cast<off_t>(offset), whence);
}

int64_t TellStream(FILE* stream) {
  if (stream == g_reader.handle) return g_reader.position;
  return static_cast<int64_t>(ftello(stream));
}

void InjectReadFault(uint64_t nth, size_t allowed, bool fail) {
  g_readCalls = 0;
  g_faultAt = nth;
  g_faultAllowed = allowed;
  g_faultFails = fail;
  g_failedStream = nullptr;
}

void SetOpenHook(OpenHook hook) { g_openHook = hook; }

void ClearReadFault() { InjectReadFault(0, 0, false); }

uint64_t ReadCallCount() { return g_readCalls; }

int CloseStream(FILE* stream) {
  if (stream == nullptr) return 0;
  if (stream == g_failedStream) g_failedStream = nullptr;
  return fclose(stream);
}

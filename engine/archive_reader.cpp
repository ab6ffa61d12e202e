// The archive's positional reader (see archive_reader.h).
#include "archive_reader.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "stream_io.h"

namespace {

size_t WindowRead(ArchiveReader* r, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ArchiveReader::Window* hit = nullptr;
    for (int i = 0; i < r->window_count; ++i) {
      ArchiveReader::Window& w = r->windows[i];
      if (r->position >= w.start && r->position - w.start < static_cast<int64_t>(w.length)) {
        hit = &w;
        r->last_used = i;
      }
    }
    if (hit == nullptr) {
      const bool direct = r->window_count == 0 || size - done >= r->refill_size;
      const int victim = r->window_count < 2 ? 0 : 1 - r->last_used;
      unsigned char* into = direct ? buffer + done : r->windows[victim].bytes.get();
      const size_t want = direct ? size - done
                                 : (r->refill_size - 1 < r->window_size ? r->refill_size
                                                                        : r->window_size);
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
    memcpy(buffer + done, hit->bytes.get() + offset, n);
    done += n;
    r->position += static_cast<int64_t>(n);
  }
  return done;
}

int WindowSeek(ArchiveReader* r, int64_t offset, int whence) {
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
  auto* r = static_cast<ArchiveReader*>(cookie);
  size_t n = WindowRead(r, reinterpret_cast<unsigned char*>(buffer), size);
  return n == 0 && r->failed ? -1 : static_cast<ssize_t>(n);
}

int CookieSeek(void* cookie, off64_t* offset, int whence) {
  auto* r = static_cast<ArchiveReader*>(cookie);
  if (WindowSeek(r, *offset, whence) != 0) return -1;
  *offset = r->position;
  return 0;
}

size_t DirectRead(void* self, void* buffer, size_t size) {
  return WindowRead(static_cast<ArchiveReader*>(self), static_cast<unsigned char*>(buffer), size);
}
int DirectSeek(void* self, int64_t offset, int whence) {
  return WindowSeek(static_cast<ArchiveReader*>(self), offset, whence);
}
int64_t DirectTell(void* self) { return static_cast<ArchiveReader*>(self)->position; }
bool DirectFailed(void* self) { return static_cast<ArchiveReader*>(self)->failed; }
void DirectClear(void* self) { static_cast<ArchiveReader*>(self)->failed = false; }

int CookieClose(void* cookie) {
  auto* r = static_cast<ArchiveReader*>(cookie);
  if (r->handle != nullptr) RemoveDirectStream(r->handle);
  int rc = fclose(r->plain);
  r->handle = r->plain = nullptr;
  r->fd = -1;
  return rc;
}

}  // namespace

FILE* OpenArchiveFile(const char* path, ArchiveReader* reader) {
  FILE* plain = OpenRegularFile(path);
  if (plain == nullptr || reader->handle != nullptr) return plain;
  int fd = fileno(plain);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return plain;  // a memory stream
  if (reader->window_count < 0) reader->window_count = 0;
  if (reader->window_count > kMaxReaderWindows) reader->window_count = kMaxReaderWindows;
  for (int i = 0; i < reader->window_count; ++i) {
    ArchiveReader::Window& w = reader->windows[i];
    if (w.capacity < reader->window_size) {
      w.bytes.reset(new (std::nothrow) unsigned char[reader->window_size]);
      w.capacity = w.bytes != nullptr ? reader->window_size : 0;
      if (w.bytes == nullptr) {
        CloseStream(plain);
        return nullptr;
      }
    }
    w.length = 0;
  }
  cookie_io_functions_t io{};
  io.read = CookieRead;
  io.seek = CookieSeek;
  io.close = CookieClose;
  FILE* handle = fopencookie(reader, "rb", io);
  if (handle == nullptr) return plain;
  // The seam's functions serve the stream from the windows directly, never through stdio.
  const DirectStream direct{reader, DirectRead, DirectSeek, DirectTell, DirectFailed,
                            DirectClear};
  AddDirectStream(handle, &direct);
  reader->handle = handle;
  reader->plain = plain;
  reader->fd = fd;
  reader->position = 0;
  reader->failed = false;
  reader->last_used = 0;
  if (reader->refill_size == 0 || reader->refill_size > reader->window_size)
    reader->refill_size = reader->window_size;
  return handle;
}

bool ReadArchiveAt(ArchiveReader* reader, FILE* stream, uint64_t offset, void* into,
                   size_t size) {
  if (size == 0) return true;
  if (offset > static_cast<uint64_t>(INT64_MAX) - size) return false;
  if (stream != reader->handle) {  // a memory stream from the open hook
    return SeekStream(stream, static_cast<int64_t>(offset), SEEK_SET) == 0 &&
           ReadStream(stream, into, size) == size;
  }
  reader->position = static_cast<int64_t>(offset);
  return WindowRead(reader, static_cast<unsigned char*>(into), size) == size;
}

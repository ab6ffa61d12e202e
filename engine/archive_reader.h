// The archive's window reader: the walk jumps between the central directory and each entry's
// local header and data, and through stdio every jump would cost a seek and a refill. A reader
// keeps two 256 KiB windows of the file, each filled by one pread at its own offset (the one
// refilled least recently gives way), so a seek only moves a position; reads of a window or
// more go straight to the caller's buffer. It is handed out as a FILE (a cookie stream, so stdio
// can use it too) that the file-access seam of stream_io.h serves directly (AddDirectStream), so
// no byte is copied through stdio's buffer. A reader serves one stream at a time, on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr size_t kWindowSize = 256 * 1024;

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
  // Bytes one refill asks for, at most kWindowSize. The walk lowers it while it reads the local
  // header of an entry a worker checks: that entry's data would only be copied for nothing.
  size_t refill_size = kWindowSize;
};

// What the walk sets refill_size to for such a local header: the header, its name and extra
// field are nearly always within it.
inline constexpr size_t kHeaderRefill = 4096;

// Opens the archive of a walk through OpenRegularFile (so the seam's open hook applies) and,
// for a regular file, serves it from `reader`. Returns the stream, closed by CloseStream; a
// memory stream from the open hook, or any stream while `reader` is busy, is returned as it
// came. Null when OpenRegularFile refuses the path.
FILE* OpenArchiveFile(const char* path, WindowReader* reader);

// The archive's positional reader, one type for the walk, the workers' scan and the workers.
// Each reader keeps a position of its own and up to two windows of the file, each filled by one
// pread at its own offset (the one refilled least recently gives way), so a jump between the
// central directory and an entry's local header and data costs no system call, and a read of a
// refill or more goes straight to the caller's buffer. With no windows every read goes straight
// to the caller. It is handed out as a FILE (a cookie stream, so stdio
// can use it too) that the file-access seam of stream_io.h serves directly (AddDirectStream), so
// no byte is copied through stdio's buffer. A reader serves one stream at a time, on one thread;
// its windows are allocated by the first open that uses them and kept for later ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

inline constexpr size_t kWindowSize = 256 * 1024;  // the walk's windows
inline constexpr int kMaxReaderWindows = 2;

struct ArchiveReader {
  // --- Set by the owner before OpenArchiveFile() -------------------------------------------
  int window_count = kMaxReaderWindows;  // 0 to kMaxReaderWindows
  size_t window_size = kWindowSize;      // bytes a window holds
  // Bytes one refill asks for, at most window_size; a read of this many bytes or more goes
  // straight to the caller's buffer. May be changed between reads. The walk lowers it while it
  // reads the local header of an entry a worker checks: that entry's data would only be copied
  // for nothing. A worker sets it to a batch's span, so one refill reads the whole batch.
  size_t refill_size = kWindowSize;

  // --- The open stream ----------------------------------------------------------------------
  FILE* handle = nullptr;  // the cookie stream given out; null when none is open
  FILE* plain = nullptr;   // the stream OpenRegularFile gave; closed with the handle
  int fd = -1;
  int64_t position = 0;
  bool failed = false;  // a pread failed: the stream's error indicator
  struct Window {
    int64_t start = 0;
    size_t length = 0;
    size_t capacity = 0;
    std::unique_ptr<unsigned char[]> bytes;
  } windows[kMaxReaderWindows];
  int last_used = 0;
};

// What the walk sets refill_size to for such a local header: the header, its name and extra
// field are nearly always within it.
inline constexpr size_t kHeaderRefill = 4096;

// Opens the archive at `path` through OpenRegularFile (so the seam's open hook applies) and,
// for a regular file, serves it from `reader`. Returns the stream, closed by CloseStream; a
// memory stream from the open hook, or any stream while `reader` is busy, is returned as it
// came. Null when OpenRegularFile refuses the path (or the windows cannot be allocated).
FILE* OpenArchiveFile(const char* path, ArchiveReader* reader);

// Reads `size` bytes at `offset` of the stream `stream` opened for `reader` whole, through its
// windows (through the seam for a memory stream). False when they are not all there. Moves the
// stream's position to the end of what was read.
bool ReadArchiveAt(ArchiveReader* reader, FILE* stream, uint64_t offset, void* into, size_t size);

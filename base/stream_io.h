// File access of the engine and the ETag calculator: opening only regular files, creating the
// name lists without following links, and every read of an archive or external file, through a
// seam that tests use to make a chosen read fail or come up short. The seam's state (the read
// count, the planned fault, the open hook) is process-wide, in stream_io.cpp, and set on one
// thread while no run is under way; reads and OpenRegularFileOnDisk may come from several
// threads (the engine's workers), each on streams of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

// Opens `path` for binary reading ("rb") only when it names a regular file once links are
// followed, so a FIFO or a device can never block or feed a run. Returns null otherwise (errno
// says why; ENOTSUP-like cases give EINVAL). With `info`, an opened stream leaves there what
// fstat says of the file opened (st_mode 0 when no file is behind it: a memory stream served by
// the open hook).
FILE* OpenRegularFile(const char* path, struct stat* info = nullptr);
// As OpenRegularFile, always from the file system (the open hook is never asked): safe to call
// from any thread.
FILE* OpenRegularFileOnDisk(const char* path, struct stat* info);

// Creates or truncates `path` for binary writing ("wb"), refusing to follow a symbolic link
// planted at that place. Returns null on any failure.
FILE* CreateNoFollow(const char* path);

// True when `path` names an existing directory (links followed).
bool IsDirectory(const char* path);

// Kind of what a path names, links followed.
enum class PathKind { kMissing, kRegular, kDirectory, kOther };
PathKind KindOf(const char* path);

// A stream served without stdio: reads, seeks, tells and the error state go straight to its
// owner's functions (the engine's archive streams register while they are open), so no byte is
// copied through stdio's buffer and no call goes through stdio's locking.
struct DirectStream {
  void* self;
  size_t (*read)(void* self, void* buffer, size_t size);
  int (*seek)(void* self, int64_t offset, int whence);
  int64_t (*tell)(void* self);
  bool (*failed)(void* self);
  void (*clear)(void* self);  // forgets a failed read (null: nothing to forget)
};
// Makes the functions below serve `handle` through `direct` (copied) until RemoveDirectStream.
// At most kMaxDirectStreams at once: false, and `handle` stays a plain stdio stream, beyond
// that. Any thread may register and remove its own streams while others read theirs; a stream
// registered is read on one thread at a time.
inline constexpr int kMaxDirectStreams = 64;
bool AddDirectStream(FILE* handle, const DirectStream* direct);
void RemoveDirectStream(FILE* handle);

// Reads up to `size` bytes; the count read, short at the end of the file or on an error.
size_t ReadStream(FILE* stream, void* buffer, size_t size);
// True when a read on `stream` failed (the error indicator, or an injected failure).
bool StreamFailed(FILE* stream);
// Forgets a failed read on `stream`, so that reading it again from an earlier place fails only
// where the file itself fails again.
void ClearStreamFailure(FILE* stream);
// 64-bit seek and tell; results as fseeko and ftello.
int SeekStream(FILE* stream, int64_t offset, int whence);
int64_t TellStream(FILE* stream);

// --- Test seam -----------------------------------------------------------------------------
// Counts every ReadStream call from now on; the call numbered `nth` (1 = the next one) reads
// only `allowed` bytes of those asked and, when `fail` is set, marks the stream as failed until
// it is closed through CloseStream or ClearReadFault is called. `nth` 0 disarms.
void InjectReadFault(uint64_t nth, size_t allowed, bool fail);
void ClearReadFault();
uint64_t ReadCallCount();  // ReadStream calls since the last InjectReadFault/ClearReadFault
// Replaces how OpenRegularFile opens paths, for fuzzing and tests that serve an archive from
// memory (fmemopen): the hook gets the path and returns a stream, or null to refuse it. Null
// restores the file system.
using OpenHook = FILE* (*)(const char* path);
void SetOpenHook(OpenHook hook);
// Closes a stream opened by this module and forgets an injected failure on it. Null is a no-op.
int CloseStream(FILE* stream);

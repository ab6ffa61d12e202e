// Everything one verification needs while it runs: its options, reporter and stop request, its
// streams, counts, text areas and buffers, its entry checker and its pool of workers. One
// RunState per Verification object (engine.h), allocated once with it and reused by its later
// runs, so a second run of the same size allocates nothing. Two RunStates share nothing mutable
// and may run at the same time on two threads; one RunState runs one verification at a time, its
// walk on one thread (the workers of its ParallelCheck read only what Start() handed them).
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "archive_reader.h"
#include "bzip2_parallel.h"
#include "codec.h"
#include "entry_check.h"
#include "folder_walk.h"
#include "one_read.h"
#include "parallel_check.h"
#include "status.h"
#include "texts.h"
#include "zip_records.h"

// Device and inode of an external file an external run opened.
struct FileId {
  uint64_t device;
  uint64_t inode;
};

// The entry a fault is reported against: set by the archive walk once an entry's central header
// has been read with its signature (index, then its central directory name, empty while unread),
// and cleared at a walk's start and when the entry passed. While `index` is not negative, every
// fault the walk reports is preceded by the line "Entry %d: %s" with these two.
struct FaultEntry {
  int32_t index;
  char name[260];  // at most 259 stored bytes and a terminator, as the entry name
};

inline constexpr size_t kChunkSize = kStoredChunkSize;  // stored data moves 1 MiB at a time
inline constexpr size_t kExtraBufferSize = 65536;    // fits the largest 16-bit extra field length
inline constexpr size_t kEndSearchSpan = 65557;      // 22-byte end record + 65,535-byte comment

struct RunState {
  RunState();
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

  // --- Options, set by Verification before each run ---------------------------------------
  int jobs = 1;  // 1: the walk checks every entry itself, no threads
  bool keep_going = false;  // a fault confined to one entry does not end the walk
  // The folder that receives x1.txt and x2.txt, read at the start of every walk.
  std::array<char, PATH_MAX> name_list_folder{};

  // --- Reporting --------------------------------------------------------------------------
  StopRequest stop;  // cleared when a command starts, raised by the caller or a sink's answer
  NullSink null_sink;
  Reporter reporter{&null_sink, &stop};  // the sink of the command under way
  bool Report(int kind, const char* text) { return reporter.Report(kind, text); }

  // --- Streams ----------------------------------------------------------------------------
  // The archive: opened by WalkArchive(); closed by it on success, by the run after a failed
  // walk. Null whenever no run is under way.
  FILE* archive = nullptr;
  ArchiveReader archive_reader;  // behind `archive` when it is a regular file (two 256 KiB windows)
  // The name lists x1.txt (archive entries) and x2.txt (folder files): created (truncated) by
  // every walk, written by it and by the folder walk's count, closed by the run. Null when closed
  // or when they could not be created.
  FILE* archive_list = nullptr;
  FILE* folder_list = nullptr;
  // While the ETag is computed beside the walk (one read), the walk's name lists are made by it
  // and held until the ETag has succeeded; null otherwise.
  OneRead* one_read = nullptr;

  // --- Entry check ------------------------------------------------------------------------
  EntryChecker entry_checker;    // the walk's own checks, one entry at a time
  ParallelCheck parallel_check;  // workers that check entries' data ahead of the walk
  // Threads for the blocks of one long bzip2 entry, checked by the walk or a worker: jobs - 1
  // helpers made at the first such entry, busy only on cores no worker's check holds.
  Bzip2Crew bzip2_crew;

  // --- Counts -----------------------------------------------------------------------------
  // Files in the archive (entries that are neither directories nor ".DS_Store"): reset and
  // counted by the walk. Files in the folder: reset by the run, counted by CountFolderFile().
  int32_t archive_file_count = 0;
  int32_t folder_file_count = 0;
  // Entries of an external run whose file no lookup opened, reported or not.
  int32_t unopened_file_count = 0;
  // Files the folder walk counted that no entry opened (the "Not in archive" lines).
  int32_t not_in_archive_count = 0;

  // Device and inode of every external file the walk opened: emptied at every walk's start (its
  // capacity kept), appended to by the walk, sorted by the run before the folder walk, searched
  // by CountFolderFile(). It grows with the entries only; see opened_files.h.
  std::vector<FileId> opened_files;

  FaultEntry fault_entry = {-1, {}};
  // Raised by the walk when it ends on the stop request ("Stopped", "Stopped by user").
  bool walk_stopped = false;
  // Size in bytes of the archive being walked, once the walk has found the end of the file.
  uint64_t archive_size = 0;
  // The central directory's entry count, once the end records are read; -1 before.
  int32_t entry_count = -1;
  // Entries found damaged by a walk that went on past them (keep_going); reset by every walk.
  int32_t damaged_count = 0;

  // --- Text areas: written by the walk for each entry and line; valid until the next one ---
  char entry_name[kMaxNameLen + 1] = {};  // the central, then the local (working) name
  char external_path[PATH_MAX] = {};      // the external file last tried
  char message[360] = {};                 // every formatted failure and closing line
  char result[200] = {};                  // the count-mismatch result of a run

  // --- Buffers of the walk, each for the span of one read and its check -------------------
  std::array<unsigned char, kChunkSize> chunk_buffer;    // archive bytes of a stored entry
  std::array<unsigned char, kChunkSize> compare_buffer;  // the external file's same chunk
  std::array<unsigned char, kExtraBufferSize> extra_buffer;  // extra field being decoded
  std::array<unsigned char, kEndSearchSpan> tail_buffer;  // file tail searched for the end record
};

// Points the name lists at `folder` (copied). Returns false, changing nothing, when the folder
// name does not leave room for "/x1.txt" within PATH_MAX.
bool SetNameListFolder(RunState& run, const char* folder);

// The per-file callback of a verification's folder walk (folder_walk.h); `context` is the
// RunState. Reports `path` as a status line (returns kFolderWalkStopped when that hands back the
// stop request), then counts and lists every file not named ".DS_Store". A counted file that is
// not the same file (device and inode, links followed) as one the archive walk opened, or that is
// no regular file at all (a FIFO, a dangling link), is logged "Not in archive: %s" and counted in
// not_in_archive_count. Needs opened_files sorted (SortOpenedFiles()).
int32_t CountFolderFile(const char* path, int32_t kind, EntryPosition position, void* context);

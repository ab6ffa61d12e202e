// Process-wide state of the verification engine, every static of it in one place (defined in
// engine_state.cpp). One run at a time, on one thread; nothing here is re-entrant. Each item
// says what it is, who writes it and when it is reset. The large buffers are static and live as
// long as the process. The stop request belongs to the Status channel (status.h); the seam's
// fault plan and open hook to the file-access seam (stream_io.cpp).
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "archive_reader.h"
#include "entry_check.h"
#include "inflater.h"
#include "parallel_check.h"
#include "status.h"
#include "texts.h"
#include "zip_records.h"

// --- Streams -------------------------------------------------------------------------------
// The archive: opened by WalkArchive(); closed by it on success, by RunVerification() after a
// failed walk. Null whenever no run is under way.
extern FILE* g_archive;
// The window reader behind g_archive when it is a regular file (512 KiB): set up by
// OpenArchiveFile() in WalkArchive(), released when g_archive is closed.
extern WindowReader g_archiveReader;
// The name lists x1.txt (archive entries) and x2.txt (folder files): created (truncated) by every
// WalkArchive(), written by it and by CountFolderFile(), closed by RunVerification(). Null when
// closed or when they could not be created.
extern FILE* g_archiveList;
extern FILE* g_folderList;

// --- Entry check ---------------------------------------------------------------------------
// The checker of the walk's deflated entries: its decoders, 16 KiB buffers and progress text.
// Used only by WalkArchive(), one entry at a time.
extern EntryChecker g_entryChecker;
// The codec every entry check and Crc32 call uses: set by SelectCodec(), or at the first use
// from the build and VORMIC_CODEC (g_codecChosen then true). Read by inflater.cpp only.
extern CodecBackend g_codec;
extern bool g_codecChosen;
// Workers that check entries' data ahead of the walk, their checkers and streams: started and
// finished by every WalkArchive() with more than one job, asked by it at every data check.
extern ParallelCheck g_parallelCheck;
// Jobs of a run (1: the walk checks every entry itself, no threads): set by a front end before
// a run (vormic-cli --jobs, the dialog's DefaultCheckJobs()), read by WalkArchive().
extern int g_checkJobs;

// --- Counts --------------------------------------------------------------------------------
// Files in the archive (entries that are neither directories nor ".DS_Store"): reset and counted
// by WalkArchive(). Files in the folder: reset by RunVerification(), counted by CountFolderFile().
// Both keep their values after a run until the next one.
extern int32_t g_archiveFileCount;
extern int32_t g_folderFileCount;
// Entries of an external run whose file no lookup opened, reported or not: reset and counted by
// WalkArchive(), read by RunVerification() for its verdict.
extern int32_t g_unopenedFileCount;
// Files the folder walk counted that no entry opened (the "Not in archive" lines): reset by
// RunVerification(), counted by CountFolderFile().
extern int32_t g_notInArchiveCount;

// --- Files an external run opened ----------------------------------------------------------
// Device and inode of every external file the archive walk opened: emptied at every walk's
// start (its capacity kept, so a second run of the same size allocates nothing), appended to by
// the walk, sorted by RunVerification() before the folder walk, searched by CountFolderFile().
// It grows with the entries only; see opened_files.h.
struct FileId {
  uint64_t device;
  uint64_t inode;
};
extern std::vector<FileId> g_openedFiles;

// --- The entry a fault is reported against -------------------------------------------------
// Set by the archive walk once an entry's central header has been read with its signature
// (index, then its central directory name, empty while unread), and cleared at a walk's start and
// when the entry passed. While `index` is not negative, every fault the walk reports is preceded
// by the line "Entry %d: %s" with these two.
struct FaultEntry {
  int32_t index;
  char name[260];  // at most 259 stored bytes and a terminator, as the entry name
};
extern FaultEntry g_faultEntry;
// Raised by the walk when it ends on the stop request ("Stopped", "Stopped by user"), cleared at
// its start; read by WalkArchive() for its result.
extern bool g_walkStopped;

// --- Progress -----------------------------------------------------------------------------
// Size in bytes of the archive being walked: set by WalkArchive() once it has found the end of
// the file (and handed to the entry checker), read by the walk's progress reports.
extern uint64_t g_archiveSize;

// --- Where the name lists go ---------------------------------------------------------------
// The folder that receives x1.txt and x2.txt: kDefaultNameListFolder ("/Temp") unless
// SetNameListFolder() changed it. Read at the start of every walk.
extern std::array<char, PATH_MAX> g_nameListFolder;
// Points the name lists at `folder` (copied). Returns false, changing nothing, when the folder
// name does not leave room for "/x1.txt" within PATH_MAX.
bool SetNameListFolder(const char* folder);
const char* NameListFolder();

// --- Text areas ----------------------------------------------------------------------------
// Written by WalkArchive() for each entry and line; valid until the next one.
extern char g_entryName[kMaxNameLen + 1];  // the central, then the local (working) name
extern char g_externalPath[PATH_MAX];      // the external file last tried
extern char g_message[360];                // every formatted failure and closing line
// The count-mismatch result of RunVerification(), valid until the next run.
extern char g_result[200];

// --- Static buffers of the archive walk ----------------------------------------------------
inline constexpr size_t kChunkSize = kStoredChunkSize;  // stored data moves 1 MiB at a time
inline constexpr size_t kExtraBufferSize = 65536;    // fits the largest 16-bit extra field length
inline constexpr size_t kEndSearchSpan = 65557;      // 22-byte end record + 65,535-byte comment

// Written by WalkArchive() only, each for the span of one read and its check.
extern std::array<unsigned char, kChunkSize> g_chunkBuffer;    // archive bytes of a stored entry
extern std::array<unsigned char, kChunkSize> g_compareBuffer;  // the external file's same chunk
extern std::array<unsigned char, kExtraBufferSize> g_extraBuffer;  // extra field being decoded
extern std::array<unsigned char, kEndSearchSpan> g_tailBuffer;  // file tail searched for the end record

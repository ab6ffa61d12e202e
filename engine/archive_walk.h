// Archive walk: one pass over a ZIP archive. Finds the end records, then follows every central
// directory header to its local header, reads or decodes the entry's data, checks its CRC-32
// and data descriptor, and in an external run compares it with the file of the same relative
// path in a folder. Uses and resets the state of its run (run_state.h); one walk at a time per
// run.
#pragma once

#include <cstdio>

#include "entry_check.h"  // kStopped, reported by the walk too
#include "texts.h"        // kCantOpenArchive, kStoppedByUser

// Failure texts of the walk, reported as log lines; each names the check that failed.
inline constexpr const char* kEndRecordNotFound = "End of central directory record not found";
inline constexpr const char* kNoLocation = "Error reading archive -- failed to get location";
inline constexpr const char* kBadZip64Count = "Bad ZIP64 entry count";
inline constexpr const char* kBadCentralSig = "Bad central directory signature";
inline constexpr const char* kTooLarge = "File size exceeds 4GB";
inline constexpr const char* kUnknownMethod =
    "Unknown compression method; not necessarily corrupted.";
inline constexpr const char* kEncrypted = "Encrypted entry; not necessarily corrupted.";
// A stream that declares a dictionary or window above kMaxDecoderWindow (decoder.h): the data
// may well be sound, but checking it would take more memory than the engine allows itself.
inline constexpr const char* kWindowTooLarge =
    "Compression window larger than 128 MiB; not necessarily corrupted.";
inline constexpr const char* kBadLocalSig = "Bad local signature";
inline constexpr const char* kIncompleteInArchive = "Incomplete file in archive";
inline constexpr const char* kInflateErrorFmt = "inf() error: %d";
inline constexpr const char* kDecompressErrorFmt = "Error decompressing file %s (%d)";
inline constexpr const char* kContentsDifferFmt = "Contents differ in file %s";
inline constexpr const char* kIncompleteExternalFmt = "Incomplete external file %s";
inline constexpr const char* kDirNoSlashFmt = "Directory does not end in /: %s";
inline constexpr const char* kCrcMismatch = "Central directory and calculated CRCs not equal";
inline constexpr const char* kDescriptorSizeMismatch =
    "Central directory and local sizes (after data) not equal";
inline constexpr const char* kDescriptorCrcMismatch =
    "Central directory and local CRCs (after data) not equal";
inline constexpr const char* kCantOpenExternalFmt = "%d: Can't open %s";  // the walk goes on
inline constexpr const char* kPathTooLongFmt = "Path too long: %s";
inline constexpr const char* kUnsafeNameFmt = "Unsafe name in archive: %s";
inline constexpr const char* kReadErrorFmt = "Error reading archive (%d)";  // site 1 to 12
inline constexpr const char* kVerifiedFmt = "Verified %d files";
inline constexpr const char* kUnopenedFmt = "%d couldn't be opened externally";
inline constexpr const char* kComparedFmt = "%d compared correctly";
// After a walk that went on past damaged entries (and after the folder walk): the damaged
// entries, then the central directory's count.
inline constexpr const char* kDamagedEntriesFmt = "Damaged entries: %d of %d";

// Put before the failure text of every fault found once an entry's central header has been
// read with its signature: the 0-based index and the central directory name (empty when it could
// not be read). Not before a stop, nor before the "Can't open" lines.
inline constexpr const char* kEntryFmt = "Entry %d: %s";

struct RunState;

enum class WalkResult {
  kPassed,       // every entry passed; the closing lines were reported; the archive is closed
  kFailed,       // one failure line, after the "Entry" line when the fault lies in an entry
  kStopRequest,  // the stop request: "Stopped", or "Stopped" and "Stopped by user"
  // Keep-going only: every entry was walked and at least one was damaged (its lines were
  // reported); the closing lines were reported and the archive is closed, as for kPassed.
  kDamaged,
};

// Walks `archive_path`; with `external` set, compares every entry with `folder_path` and records
// every external file it opened (opened_files.h). The closing lines are "Verified %d files" and,
// in an external run, the couldn't-be-opened and compared counts. With run.keep_going, a fault
// that lies in one entry (its local header, data, descriptor, method, encryption, or its
// comparison with the folder) is reported as always, counted in run.damaged_count, and the walk
// goes on at the next central header; in an external run the file of the damaged entry's
// central name is recorded as opened, so the folder walk counts it as the archive's. A fault in
// the end records or in a central header, its name or its extra field still ends the walk.
// After kFailed or kStopped run.archive may still be open and is the caller's to close. In every
// case the name lists stay open for the caller (the verification run).
WalkResult WalkArchive(RunState& run, const char* folder_path, const char* archive_path,
                       bool external);

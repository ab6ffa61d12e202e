// Archive walk: one pass over a ZIP archive. Finds the end records, then follows every central
// directory header to its local header, reads or inflates the entry's data, checks its CRC-32
// and data descriptor, and in an external run compares it with the file of the same relative
// path in a folder. Uses and resets the state of engine_state.h; one run at a time.
#pragma once

#include "entry_check.h"  // kStopped, reported by the walk too

// Failure texts of the walk, reported as log lines; each names the check that failed.
inline constexpr const char* kCantOpenArchive = "Can't open archive";
inline constexpr const char* kEndRecordNotFound = "End of central directory record not found";
inline constexpr const char* kNoLocation = "Error reading archive -- failed to get location";
inline constexpr const char* kBadZip64Count = "Bad ZIP64 entry count";
inline constexpr const char* kBadCentralSig = "Bad central directory signature";
inline constexpr const char* kTooLarge = "File size exceeds 4GB";
inline constexpr const char* kUnknownMethod =
    "Unknown compression method; not necessarily corrupted.";
inline constexpr const char* kBadLocalSig = "Bad local signature";
inline constexpr const char* kIncompleteInArchive = "Incomplete file in archive";
inline constexpr const char* kStoppedByUser = "Stopped by user";
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

// Walks `archive_path`; with `external` set, compares every entry with `folder_path`.
// Returns true after the closing lines ("Verified %d files", and in an external run the
// couldn't-be-opened and compared counts): every entry passed and g_archive is closed.
// Returns false after exactly one failure line: g_archive may still be open and is the
// caller's to close. Either way the name lists stay open for the caller (RunVerification).
bool WalkArchive(const char* folder_path, const char* archive_path, bool external);

// Verification run: the engine's one entry point. Runs the archive walk and, in an external run,
// the source folder walk, compares the two file counts and returns one result text. Closes every
// stream the walks left open; one run at a time.
#pragma once

#include "archive_walk.h"
#include "texts.h"  // kResultOk

inline constexpr const char* kResultFailed = "Verification failed";
inline constexpr const char* kResultStopped = kStoppedByUser;
inline constexpr const char* kCountMismatchFmt =
    "Number of files in archive does not match source folder (%d != %d)";
// Equal counts, yet an entry's file was not opened or a folder file matched no entry: the
// entries whose file no lookup opened, then the "Not in archive" lines.
inline constexpr const char* kFolderDiffersFmt =
    "Archive does not match source folder (%d not in folder, %d not in archive)";
inline constexpr const char* kVerifyingExternally = "Verifying externally...";
inline constexpr const char* kVerifyingInternally = "Verifying internally...";

// Verifies `archive_path`; with `external` set, against `folder_path`, whose every file the
// archive walk did not open is logged "Not in archive: %s" after the archive walk's closing
// lines. Results, each valid until the next run:
//   "OK"                   every check passed; in an external run the folder holds exactly the
//                          files the entries opened, as many as the archive holds
//   "Verification failed"  the archive walk failed (its reason was already reported)
//   "Stopped by user"      a stop request ended the archive walk or the folder walk
//   count-mismatch text    the archive's file count first, then the folder's
//   folder-differs text    equal counts, but files not opened or not in the archive
const char* RunVerification(const char* folder_path, const char* archive_path, bool external);

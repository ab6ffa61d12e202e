// Source folder walk: visits a folder and everything below it, depth first, each folder before
// its content, and hands every entry to a visit callback (a verification's counts the folder's
// files: CountFolderFile() in run_state.h). Keeps no state between calls; one thread per walk.
#pragma once

#include <cstdint>

inline constexpr int32_t kEntryFile = 1;
inline constexpr int32_t kEntryFolder = 2;

struct EntryPosition {
  int32_t name_offset;  // index of the entry's own name: one past the last '/' (or backslash)
  int32_t level;        // the starting folder's level (0 for -1); one deeper per folder
};

// Called for every folder and file; 0 goes on, anything else ends the whole walk with it.
using VisitCallback = int32_t (*)(const char* path, int32_t kind, EntryPosition position,
                                  void* context);

// Walks `folder_path`, visiting the folder itself first (kind 2) and then each entry in the
// order the directory yields it, sub-folders walked completely before the next entry. Entry
// paths are the folder's path, a '/' unless it is empty or already ends in one, and the name;
// an empty path walks the current folder. Links are followed: a link to a folder is walked as a
// folder, every other entry that is not a folder (a link to a file, a dangling or looping link,
// a FIFO) is visited as a file. A start level of -1 visits only the starting folder's files.
// Passed over without a visit: "." and "..", folders named "$Recycle.Bin", a folder already on
// the current path (a link loop) and an entry whose path would not fit in PATH_MAX. Results:
//    0  went through, also when folders could not be read (EACCES, EPERM) or their names were
//       refused (ENAMETOOLONG, EINVAL): such a folder is visited but not searched
//   -1  a folder could not be opened or read for another reason (missing, not a folder, out of
//       descriptors); every level closes its folder and the walk ends
//   else the non-zero value with which `visit` stopped the walk; likewise every level closes
int32_t WalkSourceFolder(const char* folder_path, VisitCallback visit, int32_t start_level,
                         void* context);

inline constexpr int32_t kFolderWalkStopped = 1;  // a verification's count saw the stop request
// Logged for a counted folder file that no entry of the run opened, with its path.
inline constexpr const char* kNotInArchiveFmt = "Not in archive: %s";

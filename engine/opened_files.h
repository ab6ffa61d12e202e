// The record of the files an external run opened, kept by device and inode in a run's
// opened_files (run_state.h), so that the folder walk can tell which of the folder's files no
// entry opened, whatever path (the folder, its parent, a link) led to them. The archive walk
// records, the run sorts once, the folder walk's per-file callback asks. One thread per record.
#pragma once

#include <sys/stat.h>

#include <vector>

struct FileId;
using OpenedFiles = std::vector<FileId>;

// Empties the record; the memory stays for the next run.
void ForgetOpenedFiles(OpenedFiles& files);
// Records the regular file `info` describes (as OpenRegularFile gives it); anything else, such as
// a stream served from memory, is not recorded. Memory grows geometrically, so a run of N
// entries allocates about log2(N) times and a later run no larger allocates nothing.
void RecordOpenedFile(OpenedFiles& files, const struct stat& info);
// Sorts the record for WasOpened(); called once after the archive walk.
void SortOpenedFiles(OpenedFiles& files);
// True when the file `info` describes (stat of a path) is one the record holds. Needs the
// record sorted.
bool WasOpened(const OpenedFiles& files, const struct stat& info);

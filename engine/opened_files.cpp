// The record of opened files: a sorted vector searched by halving. A hash set would allocate a
// node per file; the vector allocates only when it doubles.
#include "opened_files.h"

#include "run_state.h"

#include <algorithm>

namespace {

constexpr size_t kFirstCapacity = 1024;  // one allocation covers a run of ordinary size

bool Before(const FileId& a, const FileId& b) {
  return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

}  // namespace

void ForgetOpenedFiles(OpenedFiles& files) { files.clear(); }

void RecordOpenedFile(OpenedFiles& files, const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return;
  if (files.size() == files.capacity())
    files.reserve(std::max(kFirstCapacity, 2 * files.capacity()));
  files.push_back({static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)});
}

void SortOpenedFiles(OpenedFiles& files) { std::sort(files.begin(), files.end(), Before); }

bool WasOpened(const OpenedFiles& files, const struct stat& info) {
  const FileId id = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return std::binary_search(files.begin(), files.end(), id, Before);
}

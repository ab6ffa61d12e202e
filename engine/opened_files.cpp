// The record of opened files: a sorted vector searched by halving. A hash set would allocate a
// node per file; the vector allocates only when it doubles.
#include "opened_files.h"

#include "engine_state.h"

#include <algorithm>

namespace {

constexpr size_t kFirstCapacity = 1024;  // one allocation covers a run of ordinary size

bool Before(const FileId& a, const FileId& b) {
  return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

}  // namespace

void ForgetOpenedFiles() { g_openedFiles.clear(); }

void RecordOpenedFile(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return;
  if (g_openedFiles.size() == g_openedFiles.capacity())
    g_openedFiles.reserve(std::max(kFirstCapacity, 2 * g_openedFiles.capacity()));
  g_openedFiles.push_back({static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)});
}

void SortOpenedFiles() { std::sort(g_openedFiles.begin(), g_openedFiles.end(), Before); }

bool WasOpened(const struct stat& info) {
  const FileId id = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return std::binary_search(g_openedFiles.begin(), g_openedFiles.end(), id, Before);
}

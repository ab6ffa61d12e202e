// Source folder walk over POSIX directory streams, and the per-file callback of a verification
// run. One working path buffer of PATH_MAX bytes per walk, in the walk's own stack frame: each
// level writes its entries' names after its folder's path and remembers where that path ends, so
// a level costs one open directory stream and a few hundred bytes of stack rather than a buffer
// of its own (paths allow about 2,000 levels; 2,000 buffers of 4 KiB would be the whole default
// stack). Nothing is kept between walks; one thread.
#include "folder_walk.h"

#include "names.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

// Windows keeps a deleted-files bin of this name at the root of every drive; a source folder
// copied from there must not count it. Exact case: other spellings are ordinary folders.
constexpr const char* kRecycleBinName = "$Recycle.Bin";

// A folder on the way from the starting folder down to the one being walked. The chain lives in
// the levels' stack frames, one link per level, so it needs no storage of its own and is exactly
// as deep as the walk.
struct PathFolder {
  dev_t device;
  ino_t inode;
  const PathFolder* above;  // null for the starting folder
};

// What every level of one walk shares.
struct Walk {
  VisitCallback visit;
  void* context;
  char path[PATH_MAX];  // the entry being visited; a level's folder path is a prefix of it
};

// One past the later of the last '/' and the last backslash; 0 when there is neither.
int32_t NameOffset(const char* path) {
  size_t offset = 0;
  for (size_t i = 0; path[i] != '\0'; ++i)
    if (path[i] == '/' || path[i] == '\\') offset = i + 1;
  return static_cast<int32_t>(offset);
}

// A folder that won't open for these reasons is passed over, as one the user may not read: the
// walk counts what it can reach. Anything else (gone, not a folder, out of descriptors) ends it.
bool PassedOverWhenUnopened(int error) {
  return error == EACCES || error == EPERM || error == ENAMETOOLONG || error == EINVAL;
}

bool OnCurrentPath(const PathFolder* folder, const struct stat& target) {
  for (; folder != nullptr; folder = folder->above)
    if (folder->device == target.st_dev && folder->inode == target.st_ino) return true;
  return false;
}

// Whether the entry at `path`, of directory entry type `type`, is a folder once links are
// followed. `target` receives what stat says of it when `known` comes back true. Links are
// followed because zip stores what a link points to, so the folder holds what the archive holds;
// a link that leads nowhere (dangling, or a chain of links that loops) is not a folder, and is
// visited as a file: it is a name the folder holds, whatever an archiver made of it.
bool IsFolderEntry(const char* path, unsigned char type, struct stat* target, bool* known) {
  *known = false;
  if (type != DT_DIR && type != DT_LNK && type != DT_UNKNOWN) return false;
  if (stat(path, target) == 0) {
    *known = true;
    return S_ISDIR(target->st_mode);
  }
  // A folder listed in a folder we may read but not search: stat fails, the type still says.
  if (type == DT_DIR) return true;
  struct stat own;
  return type == DT_UNKNOWN && lstat(path, &own) == 0 && S_ISDIR(own.st_mode);
}

// Walks the folder whose path fills walk.path up to `length`, at `level`. With `files_only`
// its sub-folders are passed over. `above` is the chain of folders it was reached through.
// Results as WalkSourceFolder.
int32_t WalkFolder(Walk& walk, size_t length, int32_t level, bool files_only,
                   const PathFolder* above) {
  int32_t visited =
      walk.visit(walk.path, kEntryFolder, {NameOffset(walk.path), level}, walk.context);
  if (visited != 0) return visited;  // nothing searched

  // An empty path names the current folder; its entries' paths are their bare names.
  DIR* dir = opendir(length == 0 ? "." : walk.path);
  if (dir == nullptr) return PassedOverWhenUnopened(errno) ? 0 : -1;
  struct stat own;
  if (fstat(dirfd(dir), &own) != 0) {
    closedir(dir);
    return -1;
  }
  const PathFolder here = {own.st_dev, own.st_ino, above};

  const bool separator = length > 0 && walk.path[length - 1] != '/';
  const size_t name_start = length + (separator ? 1 : 0);
  int32_t result = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) result = -1;
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // A path that would not fit is never cut short: the entry is passed over unvisited (a
    // folder with everything in it), and its absence shows in the counts.
    size_t name_len = strlen(name);
    if (name_start + name_len >= sizeof walk.path) continue;
    if (separator) walk.path[length] = '/';
    memcpy(walk.path + name_start, name, name_len + 1);

    struct stat target;
    bool known = false;
    int32_t step = 0;
    if (IsFolderEntry(walk.path, entry->d_type, &target, &known)) {
      if (files_only || strcmp(name, kRecycleBinName) == 0) continue;
      // A folder already on the current path, reached again through a link, would be walked
      // until the path overflows; its files are counted where it was first entered.
      if (known && OnCurrentPath(&here, target)) continue;
      step = WalkFolder(walk, name_start + name_len, level + 1, false, &here);
    } else {
      step = walk.visit(walk.path, kEntryFile, {NameOffset(walk.path), level + 1}, walk.context);
    }
    if (step != 0) {
      result = step;
      break;
    }
  }
  closedir(dir);
  return result;
}

}  // namespace

int32_t WalkSourceFolder(const char* folder_path, VisitCallback visit, int32_t start_level,
                         void* context) {
  const int32_t level = start_level == -1 ? 0 : start_level;
  Walk walk;
  walk.visit = visit;
  walk.context = context;
  const size_t length = strlen(folder_path);
  if (length >= sizeof walk.path) {
    // No folder has such a path; it is visited and passed over like any name the system refuses.
    return visit(folder_path, kEntryFolder, {NameOffset(folder_path), level}, context);
  }
  memcpy(walk.path, folder_path, length + 1);
  return WalkFolder(walk, length, level, start_level == -1, nullptr);
}

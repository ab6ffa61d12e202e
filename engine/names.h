// Name rules the archive walk and the folder walk share, so that both counts leave out the same
// files. Pure functions of their argument.
#pragma once

#include <cstring>

// Finder's per-folder metadata file: counted neither in the archive nor in the folder.
inline constexpr const char* kDsStoreName = ".DS_Store";

// The text after the last '/'; failing that, after the last backslash; failing that, all of it.
inline const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) slash = strrchr(path, '\\');
  return slash != nullptr ? slash + 1 : path;
}

// True when `path` (an entry name or a folder path) names a ".DS_Store" file.
inline bool IsDsStore(const char* path) { return strcmp(BaseName(path), kDsStoreName) == 0; }

// The external-file lookup of an external run: the walk's and the workers' alike.
#include "external_lookup.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "stream_io.h"

namespace {

// True when a component of `name`, split at '/' and at backslash, is "..": looking such a name
// up would read a file outside the compared folder.
bool HasParentComponent(const char* name) {
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (*p == '/' || *p == '\\' || *p == '\0') {
      if (p - start == 2 && start[0] == '.' && start[1] == '.') return true;
      if (*p == '\0') return false;
      start = p + 1;
    }
  }
}

// Joins `folder`, a '/' unless it already ends in a separator, and `name` into `path` (PATH_MAX
// bytes). False, leaving the path empty, when the result would not fit: a cut path could name a
// different file.
bool BuildExternalPath(const char* folder, size_t folder_len, const char* name, char* path) {
  const char* sep = (folder_len > 0 && (folder[folder_len - 1] == '/' ||
                                        folder[folder_len - 1] == '\\'))
                        ? ""
                        : "/";
  int n = snprintf(path, PATH_MAX, "%.*s%s%s", static_cast<int>(folder_len), folder, sep, name);
  if (n < 0 || static_cast<size_t>(n) >= PATH_MAX) {
    path[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace

bool EndsWithSlash(const char* text) {
  size_t n = strlen(text);
  return n > 0 && text[n - 1] == '/';
}

ExternalLookup LookUpExternal(const char* folder, const char* name, FileOpener open, char* path,
                              FILE** stream, struct stat* info) {
  *stream = nullptr;
  if (HasParentComponent(name)) return ExternalLookup::kUnsafeName;
  size_t folder_len = strlen(folder);
  if (!BuildExternalPath(folder, folder_len, name, path)) return ExternalLookup::kTooLong;
  PathKind kind = KindOf(path);
  if (kind == PathKind::kDirectory || EndsWithSlash(path)) return ExternalLookup::kDirectory;
  if (kind == PathKind::kRegular && (*stream = open(path, info)) != nullptr)
    return ExternalLookup::kOpened;

  // Second try: the folder's parent, keeping its separator.
  size_t parent_len = folder_len;
  if (parent_len > 0 && (folder[parent_len - 1] == '/' || folder[parent_len - 1] == '\\'))
    --parent_len;
  size_t cut = parent_len;
  while (cut > 0 && folder[cut - 1] != '/') --cut;
  if (cut == 0) {
    cut = parent_len;
    while (cut > 0 && folder[cut - 1] != '\\') --cut;
  }
  if (cut == 0) return ExternalLookup::kNoParent;
  if (!BuildExternalPath(folder, cut, name, path)) return ExternalLookup::kTooLong;
  kind = KindOf(path);
  if (kind == PathKind::kDirectory) return ExternalLookup::kDirectory;
  if (kind == PathKind::kRegular && (*stream = open(path, info)) != nullptr)
    return ExternalLookup::kOpened;
  return ExternalLookup::kUnopened;
}

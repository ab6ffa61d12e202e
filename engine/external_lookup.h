// The external file of an entry: where an external run looks for it and how it is opened. Used by
// the archive walk and by the workers that check ahead (parallel_check.h), which report nothing;
// reports and counts are the walk's. Pure functions of their arguments and the file system.
#pragma once

#include <cstdio>
#include <sys/stat.h>

enum class ExternalLookup {
  kOpened,      // *stream is open on a regular file
  kDirectory,   // the path tried names a directory, or ends with '/'
  kNoParent,    // the folder has no parent for the second try; no file
  kUnopened,    // neither try opened a file
  kTooLong,     // a path would not fit in PATH_MAX bytes
  kUnsafeName,  // a component of the name is "..": never looked up
};
using FileOpener = FILE* (*)(const char* path, struct stat* info);

// Looks up the external file of the working name `name`: first `folder`/name, then, unless
// that names a directory, the same name in the folder's parent (archives made from the parent
// hold the folder's own name as their first component). Opens with `open`, which fills `info`.
// Leaves the path last tried in `path` (PATH_MAX bytes). Reports nothing and counts nothing.
ExternalLookup LookUpExternal(const char* folder, const char* name, FileOpener open, char* path,
                              FILE** stream, struct stat* info);

// True when `text` ends in '/': a directory entry's name.
bool EndsWithSlash(const char* text);

// The number of descriptors this process has open (the entries of /proc/self/fd), for tests and
// fuzz targets that check a run leaves nothing open. -1 when /proc is not there.
#pragma once

#include <dirent.h>

inline int CountOpenFds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the descriptor of this very listing
}

// The archives one call names, in order: the command line's, then those of a --files-from list,
// read only as far as the caller asks, so that a list of any length (or one that never ends)
// costs a 64 KiB read buffer and the name being read. Names are taken as given, byte for byte;
// empty names are skipped. One thread.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <string>

class ArchiveNames {
 public:
  // The command line's names (`count` of them, valid for the object's life).
  ArchiveNames(char** names, int count) : args_(names), arg_count_(count) {}
  ~ArchiveNames();
  ArchiveNames(const ArchiveNames&) = delete;
  ArchiveNames& operator=(const ArchiveNames&) = delete;

  // Adds the list at `path` ("-": standard input), one name per line, or per NUL-terminated
  // piece with `nul` (as find -print0 writes them); in a list of lines a NUL byte ends a name
  // too. A FIFO is opened without waiting for its writer. False, with errno set, when it cannot
  // be opened.
  bool OpenList(const char* path, bool nul);

  enum class Next {
    kName,    // *name holds the next name
    kWait,    // the list has nothing to read now: ask again later (poll list_fd())
    kEnd,     // no more names
    kFailed,  // the list could not be read (errno says why); no more names
  };
  // The next name into *name. A name longer than kMaxName bytes is kept as its first
  // kMaxName + 1 bytes, a path the system refuses to open, and *cut is set.
  Next TryNext(std::string* name, bool* cut);

  // The list's descriptor while more of it may come, for poll(); -1 when there is none.
  int list_fd() const { return list_fd_; }

  // Names given so far.
  long given() const { return given_; }

  static constexpr size_t kMaxName = PATH_MAX - 1;  // the longest path the system takes

 private:
  // Reads more of the list into the buffer: kName when bytes came, kEnd at its end.
  Next Refill();
  Next TakeName(std::string* name, bool* cut);

  char** args_;
  int arg_count_;
  int next_arg_ = 0;
  long given_ = 0;

  int list_fd_ = -1;
  bool owns_fd_ = false;
  bool nul_ = false;
  std::array<char, 65536> buffer_{};
  size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  size_t end_ = 0;
  std::string partial_;  // the name being read, at most kMaxName + 1 bytes
};

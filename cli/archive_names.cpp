// The names of the archives to verify: the arguments, then the list, read 64 KiB at a time and
// only once poll() says a read will not wait.
#include "archive_names.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

ArchiveNames::~ArchiveNames() {
  if (owns_fd_ && list_fd_ >= 0) close(list_fd_);
}

bool ArchiveNames::OpenList(const char* path, bool nul) {
  nul_ = nul;
  if (strcmp(path, "-") == 0) {
    list_fd_ = STDIN_FILENO;
    return true;
  }
  // Not waiting for a FIFO's writer: the caller polls, and a Ctrl-C is seen meanwhile.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    close(fd);
    errno = error;
    return false;
  }
  list_fd_ = fd;
  owns_fd_ = true;
  return true;
}

ArchiveNames::Next ArchiveNames::Refill() {
  pollfd ready{list_fd_, POLLIN, 0};
  const int polled = poll(&ready, 1, 0);
  if (polled < 0) return errno == EINTR ? Next::kWait : Next::kFailed;
  if (polled == 0) return Next::kWait;
  if ((ready.revents & POLLNVAL) != 0) return errno = EBADF, Next::kFailed;
  const ssize_t n = read(list_fd_, buffer_.data(), buffer_.size());
  if (n > 0) {
    begin_ = 0;
    end_ = static_cast<size_t>(n);
    return Next::kName;  // bytes came
  }
  if (n == 0) return Next::kEnd;
  return errno == EAGAIN || errno == EINTR ? Next::kWait : Next::kFailed;
}

ArchiveNames::Next ArchiveNames::TakeName(std::string* name, bool* cut) {
  *cut = partial_.size() > kMaxName;
  name->swap(partial_);
  partial_.clear();
  ++given_;
  return Next::kName;
}

ArchiveNames::Next ArchiveNames::TryNext(std::string* name, bool* cut) {
  while (next_arg_ < arg_count_) {
    name->assign(args_[next_arg_++]);
    *cut = false;
    if (name->empty()) continue;
    ++given_;
    return Next::kName;
  }
  if (list_fd_ < 0) return Next::kEnd;
  for (;;) {
    while (begin_ < end_) {
      const char* start = buffer_.data() + begin_;
      const size_t available = end_ - begin_;
      size_t piece = 0;
      while (piece < available && start[piece] != '\0' && (nul_ || start[piece] != '\n')) ++piece;
      const size_t room = kMaxName + 1 - partial_.size();
      partial_.append(start, piece < room ? piece : room);
      begin_ += piece;
      if (piece == available) break;  // the name goes on in the next read
      ++begin_;                       // the separator
      if (!partial_.empty()) return TakeName(name, cut);
    }
    const Next got = Refill();
    if (got == Next::kName) continue;
    if (got == Next::kWait) return got;
    const int error = errno;
    if (owns_fd_) close(list_fd_);
    list_fd_ = -1;
    errno = error;
    if (got == Next::kFailed) return got;
    if (!partial_.empty()) return TakeName(name, cut);  // a last name without its separator
    return Next::kEnd;
  }
}

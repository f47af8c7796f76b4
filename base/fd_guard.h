// Descriptors held for a scope and whole writes to them: one guard closes
// a descriptor on every way out, one loop writes a text whole.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;

  int get() const { return fd_; }
  // Closes now, so that a late write error is seen: true when close did.
  bool close_now() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes all of text, retrying short and interrupted writes. false on a
// failed write.
inline bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t put = write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    text.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

// A stream over fd, or nullptr with fd closed and errno kept: the caller
// owns exactly one of the two afterwards, never both and never neither.
inline FILE* stream_or_close(int fd, const char* mode) {
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return file;
}

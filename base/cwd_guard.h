// The working directory on entry, restored when the guard goes (or at
// restore()). Store routines that walk into domain and mailbox directories
// hold one, so every way out leaves the caller where it stood.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

class CwdGuard {
 public:
  CwdGuard() : fd_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~CwdGuard() { restore(); }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;
  void restore() {
    if (fd_ < 0) return;
    if (fchdir(fd_) != 0) perror("fchdir");
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A directory held open for a listing; see open_dir.h.
#include "accounts/open_dir.h"

#include <unistd.h>

OpenDir::~OpenDir() {
  if (fd_ >= 0) close(fd_);
}

bool OpenDir::hold(const std::string& dir) {
  if (fd_ >= 0) close(fd_);
  fd_ = open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  prefix_ = dir + "/";
  return fd_ >= 0;
}

PathAt OpenDir::place(std::string_view path) const {
  if (fd_ >= 0 && path.size() > prefix_.size() && path.starts_with(prefix_) &&
      path[prefix_.size()] != '/') {
    return {fd_, std::string(path.substr(prefix_.size()))};
  }
  return {AT_FDCWD, std::string(path)};
}

#include "base/safe_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "base/fd_guard.h"

namespace {

std::optional<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace

int open_dir_at(int at, const std::string& name, bool follow_link) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  size_t end = name.find_last_not_of('/');
  // "/" (or "//") stays the root itself.
  std::string bare = end == std::string::npos ? name.substr(0, 1) : name.substr(0, end + 1);
  return openat(at, bare.c_str(), flags);
}

int open_no_link(const std::string& path, int flags, mode_t mode) {
  return open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int open_regular_at(int at, const std::string& name, int flags, bool follow_link,
                    struct stat* status, mode_t mode) {
  struct stat named;
  // Looking first keeps the open away from devices, whose open alone may act.
  if (fstatat(at, name.c_str(), &named, follow_link ? 0 : AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(named.st_mode)) {
      errno = ELOOP;
      return -1;
    }
    if (!S_ISREG(named.st_mode)) {
      errno = EINVAL;
      return -1;
    }
  } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
    return -1;
  }
  int fd = openat(at, name.c_str(),
                  flags | O_NONBLOCK | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW), mode);
  if (fd < 0) return -1;
  // The name may have been swapped since it was looked at: what counts is
  // what was opened.
  struct stat opened;
  struct stat* seen = status != nullptr ? status : &opened;
  if (fstat(fd, seen) != 0 || !S_ISREG(seen->st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

int open_regular(const std::string& path, bool follow_link) {
  return open_regular_at(AT_FDCWD, path, O_RDONLY, follow_link);
}

FILE* fopen_regular(const std::string& path, bool follow_link) {
  int fd = open_regular(path, follow_link);
  return fd < 0 ? nullptr : stream_or_close(fd, "r");
}

int create_new_file(const std::string& path, mode_t mode) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int enter_dir(const std::string& path) {
  // An absolute path starts from its parent, reached as the host has it;
  // a relative one from the working directory.
  size_t start = 0;
  int current = -1;
  if (!path.empty() && path.front() == '/') {
    size_t cut = path.find_last_of('/');
    current = open_dir_at(AT_FDCWD, cut == 0 ? "/" : path.substr(0, cut), true);
    if (current < 0) return -1;
    start = cut + 1;
  }
  bool entered_any = false;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    int next = open_dir_at(current >= 0 ? current : AT_FDCWD, part, false);
    int saved = errno;
    if (current >= 0) close(current);
    errno = saved;
    if (next < 0) return -1;
    current = next;
    entered_any = true;
  }
  if (!entered_any) {
    if (current >= 0) close(current);
    errno = ENOENT;
    return -1;
  }
  if (fchdir(current) != 0) {
    close(current);
    return -1;
  }
  return current;
}

bool is_plain_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

bool is_plain_path(std::string_view path) {
  for (;;) {
    size_t slash = path.find('/');
    if (!is_plain_name(path.substr(0, slash))) return false;
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

std::optional<std::string> inside_dir(const std::string& path, const std::string& dir) {
  std::optional<std::string> real = real_path(path);
  std::optional<std::string> base = real_path(dir);
  if (!real || !base) return std::nullopt;
  std::string prefix = *base == "/" ? "/" : *base + "/";
  if (real->size() <= prefix.size() || real->compare(0, prefix.size(), prefix) != 0) {
    return std::nullopt;
  }
  return real->substr(prefix.size());
}

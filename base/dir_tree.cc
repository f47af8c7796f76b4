#include "base/dir_tree.h"

#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "base/text.h"

namespace {

constexpr mode_t kNewDirMode = 0750;


// The names in the current directory but "." and "..", or false when it
// cannot be listed. The listing is taken whole before anything is removed or
// descended into, so changing the directory never disturbs the walk and only
// one listing is open at a time however deep the tree goes.
bool list_current_dir(std::vector<std::string>& names) {
  DIR* dir = opendir(".");
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  closedir(dir);
  return true;
}

bool is_real_dir(const std::string& name) {
  struct stat status {};
  return lstat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A handle to come back to; O_PATH needs no read permission on it.
int open_current_dir() { return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC); }

}  // namespace

int make_path(const std::string& path, uid_t uid, gid_t gid) {
  if (path.empty()) return 0;
  if (!store_path_fits(path)) {
    errno = ENAMETOOLONG;
    warn("Unable to create directory %s", path.c_str());
    return -1;
  }
  for (std::size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    const std::string prefix = path.substr(0, end);
    if (mkdir(prefix.c_str(), kNewDirMode) == 0) {
      // Ownership is best effort: a store run by an ordinary user cannot
      // give its directories away, and the directory is usable either way.
      (void)chown(prefix.c_str(), uid, gid);
    } else if (errno != EEXIST) {
      warn("Unable to create directory %s", prefix.c_str());
      return -1;
    }
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    warn("Couldn't stat %s", path.c_str());
    return -1;
  }
  if (!S_ISDIR(status.st_mode)) {
    fprintf(stderr, "Error: %s is not a directory.\n", path.c_str());
    return -1;
  }
  return 0;
}

int delete_tree(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return -1;
  if (!S_ISDIR(status.st_mode)) return unlink(path.c_str()) == 0 ? 0 : -1;

  // Coming back through the directory we started from, not "..", lets a
  // relative path of several components ("0/example.org") be removed too.
  FdGuard start(open_current_dir());
  if (start.get() < 0) return -1;
  FdGuard inside(enter_dir(path));
  if (inside.get() < 0) return -1;
  std::vector<std::string> names;
  if (!list_current_dir(names)) {
    fputs("Failed to opendir()", stderr);
    return -1;
  }
  for (const std::string& name : names) {
    if (is_real_dir(name)) {
      if (delete_tree(name) != 0) return -1;
    } else if (unlink(name.c_str()) != 0) {
      fprintf(stderr, "Failed to delete directory %s", name.c_str());
      return -1;
    }
  }
  if (fchdir(start.get()) != 0) {
    fputs("Failed to cd to parent", stderr);
    return -1;
  }
  return rmdir(path.c_str()) == 0 ? 0 : -1;
}

int r_chown(const std::string& path, uid_t uid, gid_t gid) {
  FdGuard start(open_current_dir());
  FdGuard inside(start.get() < 0 ? -1 : enter_dir(path));
  if (inside.get() < 0) {
    // Not a directory we can enter: still hand over the entry itself (a
    // link, not what it points to), as the walk does for its entries.
    (void)lchown(path.c_str(), uid, gid);
    fprintf(stderr, "r_chown() : Failed to cd to directory %s", path.c_str());
    return -1;
  }
  (void)fchown(inside.get(), uid, gid);
  std::vector<std::string> names;
  if (!list_current_dir(names)) {
    fputs("r_chown() : Failed to opendir()", stderr);
    // The parent's walk goes on after a failed branch, so it must find
    // itself where it was.
    (void)fchdir(start.get());
    return -1;
  }
  for (const std::string& name : names) {
    if (is_real_dir(name)) {
      (void)r_chown(name, uid, gid);
    } else {
      (void)lchown(name.c_str(), uid, gid);
    }
  }
  if (fchdir(start.get()) != 0) {
    fputs("rchown() : Failed to cd to parent", stderr);
    return -1;
  }
  return 0;
}

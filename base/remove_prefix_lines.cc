#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/error.h"
#include "base/locked_file_io.h"

namespace {

// While armed, the destructor renames the backup back over the target, so
// every early return puts the original contents under the target's name
// again (replacing any half-written new target).
class BackupRestore {
 public:
  BackupRestore(const std::string& target, const std::string& backup)
      : target_(target), backup_(backup) {}
  ~BackupRestore() {
    if (armed_) rename(backup_.c_str(), target_.c_str());
  }
  BackupRestore(const BackupRestore&) = delete;
  BackupRestore& operator=(const BackupRestore&) = delete;

  // The backup is no longer needed: the new target is complete.
  void disarm() {
    armed_ = false;
    unlink(backup_.c_str());
  }

 private:
  const std::string& target_;
  const std::string& backup_;
  bool armed_ = true;
};

// Creates the new target's private copy (TARGET.PID) with the given mode
// and the old owner and group; it replaces the target only once it is
// whole, so a writer killed half-way leaves the old list under its backup
// name and never a part of the new one under the target's. -1 after its
// message when that fails.
int create_new_target(const std::string& path, const struct stat& old, mode_t mode,
                      TempFile& temp) {
  if (!temp.create(0600)) {
    fprintf(stderr, "fopen(%s, w+: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  if (!temp.give_owner(old.st_uid, old.st_gid, true) || !temp.set_mode(mode)) {
    fprintf(stderr, "chmod(%s, %d, %d, %o): %s\n", path.c_str(), static_cast<int>(old.st_uid),
            static_cast<int>(old.st_gid), static_cast<unsigned>(mode), strerror(errno));
    return -1;
  }
  return 0;
}

// The target must be one plain file under one name: its contents and owner
// are carried to the new target, so a link or a second name planted there
// would hand another file's contents and owner to the rewritten list.
bool single_plain_file(const std::string& path, struct stat& status) {
  if (lstat(path.c_str(), &status) != 0) return false;
  if (S_ISREG(status.st_mode) && status.st_nlink == 1) return true;
  errno = S_ISLNK(status.st_mode) ? ELOOP : EINVAL;
  return false;
}

int copy_without_prefix(LineReader& in, LineWriter& out, std::string_view prefix, bool first_only) {
  int removed = 0;
  std::string line;
  while (in.next(line)) {
    bool keep_rest = first_only && removed > 0;
    if (!keep_rest && line.starts_with(prefix)) {
      ++removed;
    } else {
      out.put(line);
    }
  }
  return removed;
}

int remove_through_backup(std::string_view prefix, const std::string& path, mode_t mode,
                               bool first_only) {
  struct stat old;
  if (!single_plain_file(path, old)) {
    fprintf(stderr, "%s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  std::string lock_path = lock_file_path(path);
  FileLock lock;
  if (int locked = lock.lock(lock_path); locked != 0) {
    if (locked == kErrUpdateFile) {
      fprintf(stderr, "could not open lock file %s: %s\n", lock_path.c_str(), strerror(errno));
    }
    return -1;  // a busy lock has said so itself
  }
  std::string backup = path + ".bak";
  if (rename(path.c_str(), backup.c_str()) != 0) {
    fprintf(stderr, "rename %s->%s: %s\n", path.c_str(), backup.c_str(), strerror(errno));
    return -1;
  }
  BackupRestore restore(path, backup);
  TempFile temp(temp_name_for(path));
  if (create_new_target(path, old, mode, temp) != 0) return -1;
  LineWriter& out = temp.out();
  LineReader in;
  // Only the file looked at above was moved aside; a link swapped in since
  // is not read through.
  if (!in.open(backup, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, false)) {
    fprintf(stderr, "fopen(%s, r+): %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  int removed = copy_without_prefix(in, out, prefix, first_only);
  // Until the new target is known to be whole, the backup is the file.
  if (in.failed() || temp.replace(path) != 0) return -1;
  restore.disarm();
  return removed;
}

}  // namespace

int remove_prefix_lines(std::string_view prefix, const std::string& path, mode_t mode,
                        bool first_only) {
  try {
    return remove_through_backup(prefix, path, mode, first_only);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

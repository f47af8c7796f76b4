// Counting a maildir and the usage check: the quick path through the
// cached sums of maildirsize, and the recount that rebuilds the file when
// it is missing, stale or shows the mailbox over quota without being sure.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "base/store_layout.h"
#include "quota/maildir_quota.h"
#include "quota/quota_rules.h"

namespace {

// True when the name's flags (upper-case letters after ":2,") mark the
// message as trashed: it is on its way out and no longer counts.
bool is_trashed(std::string_view name) {
  size_t info = name.find(":2,");
  if (info == std::string_view::npos) return false;
  for (size_t pos = info + 3; pos < name.size() && name[pos] >= 'A' && name[pos] <= 'Z'; ++pos) {
    if (name[pos] == 'T') return true;
  }
  return false;
}

// The size that the name carries as ",S=" before its flags, if any.
std::optional<uint64_t> size_in_name(std::string_view name) {
  std::string_view base = name.substr(0, name.find(':'));
  size_t mark = base.rfind(",S=");
  if (mark == std::string_view::npos) return std::nullopt;
  size_t pos = mark + 3;
  return read_decimal(base, pos).value;
}

// One directory that a recount reads: new/ or cur/ of the maildir (folder
// "") or of one of its folders.
struct CountedDir {
  std::string folder;
  const char* sub;
};

// Opens a counted directory below the maildir without following a link at
// any step: a folder or new/ or cur/ that a mailbox's owner turned into a
// link leads nowhere. -1 when it is missing, no directory or a link.
int open_counted(int maildir, const CountedDir& dir) {
  if (dir.folder.empty()) return open_dir_at(maildir, dir.sub, false);
  FdGuard folder(open_dir_at(maildir, dir.folder, false));
  return folder.get() < 0 ? -1 : open_dir_at(folder.get(), dir.sub, false);
}

void raise_newest(int maildir, const CountedDir& dir, time_t& newest) {
  FdGuard fd(open_counted(maildir, dir));
  struct stat status;
  if (fd.get() >= 0 && fstat(fd.get(), &status) == 0 && status.st_mtime > newest) {
    newest = status.st_mtime;
  }
}

// The directories a recount reads: new/ and cur/ of the maildir and of each
// folder but the trash. nullopt when the maildir cannot be listed.
std::optional<std::vector<CountedDir>> counted_dirs(int maildir) {
  int listing_fd = dup(maildir);
  DIR* dir = listing_fd < 0 ? nullptr : fdopendir(listing_fd);
  if (!dir) {
    if (listing_fd >= 0) close(listing_fd);
    return std::nullopt;
  }
  std::vector<CountedDir> dirs{{"", "new"}, {"", "cur"}};
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name[0] == '.' && name != "." && name != ".." && name != ".Trash") {
      dirs.push_back({std::string(name), "new"});
      dirs.push_back({std::string(name), "cur"});
    }
    errno = 0;
  }
  bool listed = errno == 0;
  if (closedir(dir) != 0 || !listed) return std::nullopt;
  return dirs;
}

// Adds the messages of one open directory; see count_maildir_dir.
int count_dir(int fd, time_t* newest, uint64_t* size, uint64_t* count) {
  struct stat status;
  if (fstat(fd, &status) != 0) return 0;
  if (status.st_mtime > *newest) *newest = status.st_mtime;
  int listing_fd = dup(fd);
  DIR* listing = listing_fd < 0 ? nullptr : fdopendir(listing_fd);
  if (!listing) {
    if (listing_fd >= 0) close(listing_fd);
    return 0;
  }
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    std::string_view name = entry->d_name;
    std::optional<uint64_t> bytes;
    if (name[0] == '.' || is_trashed(name)) {
      // hidden entries and trashed messages do not count
    } else if ((bytes = size_in_name(name))) {
      *size = add_capped(*size, *bytes);
      *count = add_capped(*count, 1);
    } else if (fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(status.st_mode)) {
      // The entry itself, never what a link names: a file its owner may
      // not read must not lend its size to the mailbox's file.
      *size = add_capped(*size, static_cast<uint64_t>(status.st_size));
      *count = add_capped(*count, 1);
    }
    errno = 0;
  }
  // A listing cut short by a read error would undercount the mailbox.
  bool listed = errno == 0;
  return closedir(listing) == 0 && listed ? 0 : -1;
}

struct Recount {
  std::string quota_text;
  uint64_t extra_size = 0, extra_count = 0;
};

// Counts the maildir afresh, installs the totals as its new maildirsize
// and judges them, unless the mailbox changed while it was being counted.
int recount_maildir(const std::string& maildir, const Recount& job, int* fd, int* percentage) {
  // Everything below the maildir is reached from this descriptor, one
  // component at a time, never through a link.
  FdGuard top(open_dir_at(AT_FDCWD, maildir, false));
  if (top.get() < 0) return -1;
  std::optional<std::vector<CountedDir>> dirs = counted_dirs(top.get());
  if (!dirs) return -1;
  time_t newest = 0;
  uint64_t size = 0, count = 0;
  for (const CountedDir& dir : *dirs) {
    FdGuard counted(open_counted(top.get(), dir));
    if (counted.get() >= 0 && count_dir(counted.get(), &newest, &size, &count) != 0) return -1;
  }
  int file = -1;
  if (install_maildirsize(top.get(), job.quota_text + "\n" + usage_line(size, count), &file) < 0) {
    return -1;
  }
  // A message delivered or moved meanwhile shows as a later modification
  // time of its directory; the totals just written then describe a mailbox
  // that is gone, and no verdict is given on them.
  time_t newest_now = 0;
  for (const CountedDir& dir : *dirs) raise_newest(top.get(), dir, newest_now);
  int verdict_errno = ENOSPC;
  QuotaVerdict verdict = judge_usage(job.quota_text, add_capped(size, job.extra_size),
                                     add_capped(count, job.extra_count));
  if (newest_now != newest) {
    verdict_errno = EAGAIN;
  } else if (verdict.over) {
    *percentage = 100;
  } else {
    *percentage = verdict.percent;
    *fd = file;
    return 0;
  }
  if (file >= 0) close(file);
  errno = verdict_errno;
  return -1;
}

}  // namespace

int count_maildir_dir(const std::string& dir, time_t* newest, uint64_t* size, uint64_t* count) {
  FdGuard fd(open_dir_at(AT_FDCWD, dir, false));
  return fd.get() < 0 ? 0 : count_dir(fd.get(), newest, size, count);
}

int check_maildir_quota(const std::string& maildir, int* fd, const char* quota_text,
                        uint64_t extra_size, uint64_t extra_count, int* percentage) {
  *fd = -1;
  std::string dir = maildir_of(maildir);
  if (!quota_text || !*quota_text) return 0;
  time_t now = time(nullptr);
  int file = -1, lines = 0;
  uint64_t size = 0, count = 0;
  struct stat status;
  if (read_maildirsize(path_in(dir, kMaildirSizeName), &file, &size, &count, &lines, &status) == 0) {
    QuotaVerdict verdict =
        judge_usage(quota_text, add_capped(size, extra_size), add_capped(count, extra_count));
    if (!verdict.over) {
      *percentage = verdict.percent;
      *fd = file;
      return 0;
    }
    *percentage = 100;
    close(file);
    // A single totals line written moments ago is a count, not a guess.
    if (lines == 1 && status.st_mtime > now - kMaildirsizeStale) {
      errno = ENOSPC;
      return -1;
    }
  }
  return recount_maildir(dir, Recount{quota_text, extra_size, extra_count}, fd, percentage);
}

// The maildirsize file: opening it safely, reading its sums, and writing it
// either by appending a usage line or by installing a new file through a
// temporary one in the maildir's tmp/ and a rename.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "quota/maildir_quota.h"
#include "quota/quota_rules.h"

namespace {

// How many times a temporary name is tried, and the pause between tries.
constexpr int kTempAttempts = 3;
constexpr useconds_t kTempPause = 100;

// Closes fd and fails with err, so the caller sees the cause and not
// whatever close left in errno.
int fail_closed(int fd, int err) {
  close(fd);
  errno = err;
  return -1;
}

// One signed decimal at text[pos] after blanks, as a maildir++ writer puts
// it ("-1234" is a removal). false when no digits are there.
bool read_signed(std::string_view text, size_t& pos, __int128& value) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  bool negative = pos < text.size() && (text[pos] == '-' || text[pos] == '+');
  if (negative) negative = text[pos++] == '-';
  Decimal number = read_decimal(text, pos);
  if (number.digits == 0) return false;
  value = negative ? -static_cast<__int128>(number.value) : number.value;
  return true;
}

uint64_t clamp_sum(__int128 sum) {
  if (sum < 0) return 0;
  if (sum > static_cast<__int128>(UINT64_MAX)) return UINT64_MAX;
  return static_cast<uint64_t>(sum);
}

// Sums the "SIZE COUNT" lines after the first. A line that does not hold
// two numbers adds nothing but is still a line; a final piece without a
// line end is a line, the empty piece after the last line end is not. Up to
// 5120 bytes of lines fit in 128 bits without wrapping; a net negative sum
// is 0.
void sum_usage_lines(std::string_view text, uint64_t& size, uint64_t& count, int& lines) {
  __int128 size_total = 0, count_total = 0;
  size_t first_end = text.find('\n');
  text = first_end == std::string_view::npos ? std::string_view() : text.substr(first_end + 1);
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lines;
    size_t pos = 0;
    __int128 line_size = 0, line_count = 0;
    if (read_signed(line, pos, line_size) && read_signed(line, pos, line_count)) {
      size_total += line_size;
      count_total += line_count;
    }
  }
  size = clamp_sum(size_total);
  count = clamp_sum(count_total);
}

std::string host_name() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "localhost";
  std::string name = host;
  // The name becomes part of a file name inside tmp/.
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// "TIME.PID_NeWmAiLdIrSiZe.HOST": unique among the processes of all hosts
// that share the maildir.
std::string temp_name(const std::string& host) {
  return std::to_string(time(nullptr)) + "." + std::to_string(getpid()) + "_NeWmAiLdIrSiZe." +
         host;
}

// Creates a fresh temporary file in the directory behind tmp_dir (-1: none
// reachable): exclusive, never through a link, read-write in append mode,
// 0644 less the umask. Its name, with *fd -1 when three attempts failed.
std::string make_temp_at(int tmp_dir, int* fd) {
  *fd = -1;
  std::string host = host_name();
  std::string name;
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    name = temp_name(host);
    if (tmp_dir >= 0) {
      *fd = openat(tmp_dir, name.c_str(),
                   O_CREAT | O_EXCL | O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (*fd >= 0) return name;
    }
    usleep(kTempPause);
  }
  return name;
}

}  // namespace

std::string path_in(const std::string& dir, std::string_view name) {
  if (!dir.empty() && dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

std::string maildir_of(const std::string& path) {
  struct stat status;
  if (stat(path_in(path, "maildirfolder").c_str(), &status) == 0) return path_in(path, "..");
  return path;
}

int safe_open(const std::string& path, int flags, mode_t mode) {
  int fd = open_regular_at(AT_FDCWD, path, flags, false, nullptr, mode);
  // A link is not the file: to the callers there is no file of that name,
  // and a new one is installed over the link.
  if (fd < 0 && errno == ELOOP) errno = ENOENT;
  return fd;
}

int read_maildirsize(const std::string& path, int* fd, uint64_t* size_sum, uint64_t* count_sum,
                     int* lines, struct stat* status) {
  *fd = -1;
  *size_sum = *count_sum = 0;
  *lines = 0;
  int file = safe_open(path, O_RDWR | O_APPEND, 0);
  if (file < 0) return -1;
  if (fstat(file, status) != 0) return fail_closed(file, errno);
  if (status->st_size >= kMaildirsizeMax || status->st_mtime < time(nullptr) - kMaildirsizeStale) {
    unlink(path.c_str());
    return fail_closed(file, errno);
  }
  // One byte more than a fresh file may hold tells a file that grew past
  // the limit since it was examined.
  char buffer[kMaildirsizeMax];
  size_t used = 0;
  for (;;) {
    ssize_t got = read(file, buffer + used, sizeof buffer - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail_closed(file, errno);
    if (got == 0) break;
    used += static_cast<size_t>(got);
    if (used == sizeof buffer) return fail_closed(file, EFBIG);
  }
  sum_usage_lines(std::string_view(buffer, used), *size_sum, *count_sum, *lines);
  *fd = file;
  return 0;
}

std::optional<std::string> make_maildirsize_temp(const std::string& maildir, int* fd) {
  FdGuard top(open_dir_at(AT_FDCWD, maildir, false));
  FdGuard tmp(top.get() < 0 ? -1 : open_dir_at(top.get(), "tmp", false));
  return path_in(maildir, "tmp/") + make_temp_at(tmp.get(), fd);
}

int install_maildirsize(int maildir, std::string_view content, int* fd) {
  if (fd) *fd = -1;
  // tmp/ is reached from the maildir without following a link, and the
  // file is created, removed and renamed relative to these descriptors: a
  // link the mailbox's owner puts at tmp/ or swaps in meanwhile never has
  // the file made, given away or moved through it.
  FdGuard tmp(maildir < 0 ? -1 : open_dir_at(maildir, "tmp", false));
  if (tmp.get() < 0) return -1;
  int temp_fd = -1;
  std::string temp = make_temp_at(tmp.get(), &temp_fd);
  if (temp_fd < 0) return -1;
  // Deliveries run as the store's user and append to the file.
  if (fchown(temp_fd, kStoreUid, kStoreGid) != 0) {
    // Not the store's owner (not run as root): the file stays the caller's.
  }
  if (!write_all(temp_fd, content)) {
    int err = errno;
    unlinkat(tmp.get(), temp.c_str(), 0);
    return fail_closed(temp_fd, err);
  }
  if (renameat(tmp.get(), temp.c_str(), maildir, std::string(kMaildirSizeName).c_str()) != 0) {
    int err = errno;
    unlinkat(tmp.get(), temp.c_str(), 0);
    fail_closed(temp_fd, err);
    return 1;
  }
  if (fd) {
    *fd = temp_fd;
  } else if (close(temp_fd) != 0) {
    return -1;
  }
  return 0;
}

int write_maildirsize(const std::string& maildir, int fd, const std::string& quota_text, uint64_t size,
                      uint64_t count, bool with_quota_line) {
  std::string line = usage_line(size, count);
  if (fd >= 0) return write_all(fd, with_quota_line ? quota_text + "\n" + line : line) ? 0 : -1;
  std::string dir = maildir_of(maildir);
  int file = safe_open(path_in(dir, kMaildirSizeName), O_RDWR | O_APPEND, 0644);
  if (file >= 0) {
    // The quota text belongs on the first line only: an existing file
    // takes the usage line alone.
    FdGuard guard(file);
    bool written = write_all(file, line);
    return guard.close_now() && written ? 0 : -1;
  }
  if (errno != ENOENT) return -1;
  FdGuard top(open_dir_at(AT_FDCWD, dir, false));
  return install_maildirsize(top.get(), quota_text + "\n" + line, nullptr) == 0 ? 0 : -1;
}

#include "base/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "base/site.h"

namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '\\'; }

// Gives what this process has just made to the store's user and sets its
// mode: tessera runs as root, and a log or folder left root's would shut
// out every later line from the pages. The store's user is whoever owns
// the store home (89:89 on a host). The mode is set explicitly because the
// umask of a process that created a domain is 077.
bool give_to_store_user(int fd, const struct stat& home, mode_t mode) {
  struct stat made;
  if (fstat(fd, &made) != 0) return false;
  if ((made.st_uid != home.st_uid || made.st_gid != home.st_gid) &&
      fchown(fd, home.st_uid, home.st_gid) != 0) {
    return false;
  }
  return fchmod(fd, mode) == 0;
}

// The etc folder of the store home, made when missing, opened without
// following a link: root must not write through a folder someone swapped
// for a link, any more than through a linked log. A descriptor, or -1.
int open_log_folder(const std::string& folder, const struct stat& home) {
  bool made = mkdir(folder.c_str(), 0755) == 0;
  if (!made && errno != EEXIST) return -1;
  int fd = open_no_link(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -1;
  if (made && !give_to_store_user(fd, home, 0755)) {
    close(fd);
    rmdir(folder.c_str());  // left as it was: missing
    return -1;
  }
  return fd;
}

// The log inside its folder: a plain file or nothing, so a FIFO planted at
// the name can never hold up the request. A new log goes to the store's
// user; one that cannot be given away is removed again, so no later writer
// finds a log it may not write. A descriptor, or -1.
int open_log(int folder, const char* name, const struct stat& home) {
  const int flags = O_WRONLY | O_APPEND;
  int fd = open_regular_at(folder, name, flags | O_CREAT | O_EXCL, false, nullptr, 0600);
  const bool made = fd >= 0;
  if (!made && errno == EEXIST) fd = open_regular_at(folder, name, flags, false);
  if (fd < 0) return -1;
  if (!made || give_to_store_user(fd, home, 0600)) return fd;
  close(fd);
  if (made) unlinkat(folder, name, 0);
  return -1;
}

}  // namespace

std::string audit_field(std::string_view text) {
  if (text.empty()) return "-";
  static const char kHex[] = "0123456789ABCDEF";
  std::string field;
  for (unsigned char c : text) {
    size_t width = needs_escape(c) ? 4 : 1;
    if (field.size() + width > kAuditFieldMax) break;
    if (width == 1) {
      field += static_cast<char>(c);
    } else {
      field += "\\x";
      field += kHex[c >> 4];
      field += kHex[c & 15];
    }
  }
  return field;
}

std::string audit_time(time_t when) {
  struct tm utc;
  char text[32];
  if (gmtime_r(&when, &utc) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
    return "-";
  }
  return text;
}

std::string audit_line(const AuditRecord& record) {
  std::string line = audit_time(record.time);
  for (std::string_view field :
       {record.admin, record.address, record.command, record.object, record.result}) {
    line += '\t';
    line += audit_field(field);
  }
  line += '\n';
  return line;
}

int audit_append(const std::string& line) {
  struct stat home;
  if (stat(tessera_home().c_str(), &home) != 0 || !S_ISDIR(home.st_mode)) return -1;
  const std::string log = audit_log_file();
  const size_t slash = log.rfind('/');
  int folder_fd = open_log_folder(log.substr(0, slash), home);
  if (folder_fd < 0) return -1;
  FdGuard folder(folder_fd);
  int fd = open_log(folder_fd, log.c_str() + slash + 1, home);
  if (fd < 0) return -1;
  FdGuard file(fd);
  // One write: O_APPEND places the whole line at the end in one step, so
  // lines of concurrent requests never interleave.
  ssize_t written = write(fd, line.data(), line.size());
  return written == static_cast<ssize_t>(line.size()) ? 0 : -1;
}

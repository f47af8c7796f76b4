#include "base/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/fd_guard.h"
#include "base/site.h"

namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '\\'; }

// The etc folder of the store home; made when missing. The umask of a
// process that created a domain is 077, so the mode is set explicitly.
bool have_log_folder(const std::string& log) {
  std::string folder = log.substr(0, log.rfind('/'));
  if (mkdir(folder.c_str(), 0755) == 0) return chmod(folder.c_str(), 0755) == 0;
  return errno == EEXIST;
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
  std::string log = audit_log_file();
  if (!have_log_folder(log)) return -1;
  int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  FdGuard file(fd);
  // One write: O_APPEND places the whole line at the end in one step, so
  // lines of concurrent requests never interleave.
  ssize_t written = write(fd, line.data(), line.size());
  return written == static_cast<ssize_t>(line.size()) ? 0 : -1;
}

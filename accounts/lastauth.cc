// The last-login record of a mailbox.
#include "accounts/lastauth.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "accounts/passwd.h"
#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"

namespace {

constexpr size_t kLineMax = 299;

// DIR/lastauth, or none when it would not fit a store path: cut, it would
// name some other file of the mailbox or beside it.
std::optional<std::string> lastauth_path(const password_record& record) {
  std::string path = mailbox_lastauth(record.dir);
  if (!store_path_fits(path)) return std::nullopt;
  return path;
}

}  // namespace

int lastauth_record_write(const password_record& record, uid_t uid, gid_t gid,
                          const std::string& text) {
  // The mailbox directory belongs to the domain's user, who may have put
  // anything at the name: it is replaced by a new file of our own, which
  // alone is then given to the domain's user.
  std::optional<std::string> path = lastauth_path(record);
  if (!path) return -1;
  FdGuard file(create_new_file(*path, 0666));
  if (file.get() < 0) return -1;
  // A record that did not reach the disk whole is no record.
  if (!write_all(file.get(), text)) return -1;
  if (fchown(file.get(), uid, gid) != 0) perror("lastauth chown");
  return file.close_now() ? 0 : -1;
}

int lastauth_write(const std::string& user, const DomainName& domain, const std::string& text) {
  std::optional<DomainHome> home = find_domain_home(domain);
  std::optional<password_record> record = home ? passwd_find(user, home->domain) : std::nullopt;
  if (!record) return 0;
  return lastauth_record_write(*record, home->uid, home->gid, text);
}

namespace {

// The record's status, when it is a plain file reached without a link (a
// link's target is none of this mailbox's).
std::optional<struct stat> lastauth_status(const std::optional<PathAt>& at) {
  struct stat status;
  if (!at || fstatat(at->dirfd, at->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return status;
}

std::optional<PathAt> lastauth_at(const password_record& record, const OpenDir* within) {
  std::optional<std::string> path = lastauth_path(record);
  if (!path) return std::nullopt;
  return within ? within->place(*path) : PathAt{AT_FDCWD, *path};
}

// Whether the file holds exactly the mark account creation writes.
bool holds_creation_mark(const PathAt& at) {
  FdGuard file(openat(at.dirfd, at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return false;
  char text[sizeof kLastauthNever];
  ssize_t got = read(file.get(), text, sizeof text);
  return got == static_cast<ssize_t>(sizeof kLastauthNever - 1) &&
         std::string_view(text, got) == kLastauthNever;
}

}  // namespace

time_t lastauth_time(const password_record& record, const OpenDir* within) {
  std::optional<struct stat> status = lastauth_status(lastauth_at(record, within));
  return status ? status->st_mtime : 0;
}

time_t lastauth_login_time(const password_record& record, const OpenDir* within) {
  std::optional<PathAt> at = lastauth_at(record, within);
  std::optional<struct stat> status = lastauth_status(at);
  if (!status) return 0;
  // Only a record of the mark's length can be the mark, so a listing opens
  // few files beyond the one status it needs anyway.
  if (status->st_size == static_cast<off_t>(sizeof kLastauthNever - 1) &&
      holds_creation_mark(*at)) {
    return 0;
  }
  return status->st_mtime;
}

std::optional<std::string> lastauth_text(const password_record& record) {
  std::optional<std::string> path = lastauth_path(record);
  FILE* file = path ? fopen_regular(*path, false) : nullptr;
  if (!file) return std::nullopt;
  char line[kLineMax + 1];
  bool read = fgets(line, sizeof line, file) != nullptr;
  fclose(file);
  if (!read || line[0] == '\0') return std::nullopt;
  return std::string(line);
}

bool lastauth_never(const std::optional<std::string>& address) {
  return !address || address->empty() || *address == kLastauthNever;
}

std::optional<std::string> lastauth_address(const password_record& record) {
  std::optional<std::string> address = lastauth_text(record);
  while (address && !address->empty() && (address->back() == '\n' || address->back() == '\r')) {
    address->pop_back();
  }
  if (lastauth_never(address)) return std::nullopt;
  return address;
}

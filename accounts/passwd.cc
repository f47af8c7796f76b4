// A domain's password file and its index: paths, lookups, the listing and
// the field limits. Changes to the file live in passwd_rewrite.cc.
#include "accounts/passwd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "accounts/domain_flags.h"
#include "accounts/passwd_common.h"
#include "base/chunk_lines.h"
#include "base/address.h"
#include "base/error.h"
#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "cdb/cdb.h"
#include "domains/assign.h"

namespace {

// The lookup's line: name, ":" and the index value, with its terminator.
// Holds every line this system writes (about 450 bytes at the field limits,
// eighth field included) many times over.
constexpr size_t kLookupLineSize = 2048;


// Takes the text up to the next ":" (or the end) off the front of rest.
std::string_view next_field(std::string_view& rest) {
  size_t colon = rest.find(':');
  std::string_view field = rest.substr(0, colon);
  rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  return field;
}

// A number field: its leading decimal value, 0 when empty or not a number.
int32_t number_field(std::string_view text) {
  std::string digits(text);
  return static_cast<int32_t>(std::strtol(digits.c_str(), nullptr, 10));
}

// Splits a line (without its "\n") into a record. Fields missing at the end
// stay empty; whatever follows a seventh ":" is the clear password.
void split_line(std::string_view line, password_record& record) {
  record = password_record{};
  record.name = next_field(line);
  record.password = next_field(line);
  record.uid = number_field(next_field(line));
  record.gid = number_field(next_field(line));
  record.gecos = next_field(line);
  record.dir = next_field(line);
  record.quota = next_field(line);
  record.clear_password = line;
}

// Reads exactly length bytes; false on a short or failed read.
bool read_exactly(int fd, char* out, size_t length) {
  while (length > 0) {
    ssize_t got = read(fd, out, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

// The whole line of user from the index: "user:" and the stored value.
// 1 found; 0 when the user is absent; -1 when the read fails or falls
// short, or the value would not fit the lookup's line.
int read_index_line(int fd, const std::string& user, std::string& line) {
  uint32_t length = 0;
  int found = cdb_lookup(fd, user.data(), user.size(), &length);
  if (found != 1) return found == 0 ? 0 : -1;
  size_t head = user.size() + 1;
  if (length >= kLookupLineSize - head) return -1;
  line = user + ":";
  line.resize(head + length);
  return read_exactly(fd, line.data() + head, length) ? 1 : -1;
}

// A missing index is rebuilt from the text file, under the same lock as
// every change: two rebuilds at once would write one cdb.tmp together. When
// the lock stays busy the change holding it rebuilds the index anyway.
void repair_index(const passwd_file_paths& paths, const DomainName& domain) {
  FileLock lock;
  if (lock.lock_waiting(paths.lock, FileLock::kBusyWait) != 0) return;
  passwd_rebuild(domain);
}

int open_index(const passwd_file_paths& paths, const DomainName& domain) {
  int fd = open_regular(paths.index, false);
  if (fd >= 0) return fd;
  repair_index(paths, domain);
  return open_regular(paths.index, false);
}

}  // namespace

bool may_use_domain(uid_t domain_uid) {
  uid_t effective = geteuid();
  return effective == 0 || effective == domain_uid;
}

namespace {

// The five paths of the password file in a domain directory.
passwd_file_paths passwd_paths_in(const std::string& dir) {
  passwd_file_paths paths{passwd_file(dir), passwd_index(dir), passwd_backup(dir, getpid()),
                          passwd_index_temp(dir), passwd_lock(dir)};
  // A path is never cut: a cut temporary name could be tpasswd itself.
  for (const std::string* path :
       {&paths.text, &paths.index, &paths.temp, &paths.index_temp, &paths.lock}) {
    if (!store_path_fits(*path)) return {};
  }
  return paths;
}

}  // namespace

passwd_file_paths passwd_paths_of(const DomainName& domain) {
  const DomainName name = with_default_domain(domain);
  if (name.empty()) return passwd_paths_in(store_users_dir(tessera_home()));
  std::optional<DomainHome> home = find_domain_home(name);
  if (!home) return {};  // an unknown domain has no password file
  return passwd_paths_in(home->dir);
}

PasswdLookup passwd_lookup(const std::string& user, const DomainName& domain) {
  last_error = 0;
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) {
    // An unknown name and an unreadable table look alike to the lookup.
    int table = open_regular(qmail_users_cdb(), false);
    if (table < 0) return {kErrFailed, std::nullopt};
    close(table);
    return {kErrNoDomain, std::nullopt};
  }
  if (!may_use_domain(home->uid)) return {kErrFailed, std::nullopt};
  // The entry's directory is its real domain's: an alias reaches that file.
  const passwd_file_paths paths = passwd_paths_in(home->dir);
  if (paths.index.empty()) return {kErrFailed, std::nullopt};
  int fd = open_index(paths, home->domain);
  if (fd < 0) return {kErrFailed, std::nullopt};
  FdGuard index(fd);
  std::string line;
  int found = read_index_line(fd, user, line);
  if (found == 0) return {kErrNoUser, std::nullopt};
  if (found < 0) return {kErrFailed, std::nullopt};
  password_record record;
  split_line(line, record);
  apply_domain_limits(record, home->domain);
  return {kSuccess, std::move(record)};
}

std::optional<password_record> passwd_find(const std::string& user, const DomainName& domain) {
  return passwd_lookup(user, domain).record;
}

PasswdListing::PasswdListing(const DomainName& domain) {
  // The paths and the limits are worked out once per listing, not for
  // each of its (possibly a hundred thousand) records.
  const passwd_file_paths paths = passwd_paths_of(domain);
  if (!paths.text.empty()) file_ = open_regular(paths.text, false);
  if (file_ >= 0) lines_ = std::make_unique<ChunkLines>(file_);
  flags_ = domain_limit_flags(with_default_domain(domain));
}

PasswdListing::~PasswdListing() { close_file(); }

void PasswdListing::close_file() {
  lines_.reset();
  if (file_ >= 0) close(file_);
  file_ = -1;
}

std::optional<password_record> parse_passwd_line(std::string_view line) {
  if (std::count(line.begin(), line.end(), ':') < 6) return std::nullopt;
  password_record record;
  split_line(line, record);
  if (record.name.empty()) return std::nullopt;
  return record;
}

const password_record* PasswdListing::next() {
  if (file_ < 0) return nullptr;
  std::string_view line;
  bool ended = false;
  if (!lines_->next(line, ended) || std::count(line.begin(), line.end(), ':') < 6) {
    close_file();
    return nullptr;
  }
  split_line(line, record_);
  record_.clear_password.clear();  // the listing never hands it out
  apply_limit_flags(record_, flags_);
  return &record_;
}

StoreError passwd_check_names(const std::string& user, const DomainName& domain) {
  if (user.size() > kUserNameMax) return kErrUserTooLong;
  if (user.size() == 1) return kErrIllegalUsername;
  if (domain.size() > kDomainNameMax) return kErrDomainTooLong;
  return kSuccess;
}

StoreError passwd_check(const password_record* record, const DomainName* domain) {
  if (record == nullptr || domain == nullptr) return kErrNullPointer;
  if (int result = passwd_check_names(record->name, *domain); result != 0) return store_code(result);
  if (record->password.size() > kPasswordMax) return kErrPasswordTooLong;
  if (record->gecos.size() > kGecosMax) return kErrGecosTooLong;
  if (record->dir.size() > kMailboxDirMax) return kErrDirTooLong;
  if (record->quota.size() > kQuotaTextMax) return kErrQuotaTooLong;
  return kSuccess;
}

StoreError passwd_set_quota(const std::string& user, const DomainName& domain, const std::string& quota) {
  if (int result = passwd_check_names(user, domain); result != 0) return store_code(result);
  if (quota.size() > kQuotaTextMax) return kErrQuotaTooLong;
  std::optional<password_record> record = passwd_find(user, domain);
  if (!record) return kErrNoUser;
  record->quota = quota;
  return passwd_update(*record, domain);
}

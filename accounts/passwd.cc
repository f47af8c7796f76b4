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
#include "base/text.h"
#include "cdb/cdb.h"
#include "domains/assign.h"

namespace {

// The lookup's line: name, ":" and the index value, with its terminator.
// Holds every line this system writes (about 450 bytes at the field limits,
// eighth field included) many times over.
constexpr size_t kLookupLineSize = 2048;
// The copy of the domain name a lookup works with.
constexpr size_t kDomainCopyBuffer = 156;


// Everything the module keeps between calls. The lookup and the listing
// have records of their own, so a lookup made while listing leaves the
// listed record as it was.
struct PasswdState {
  passwd_file_paths paths;
  password_record found;    // passwd_get's record
  password_record listed;   // passwd_iterate's record
  // passwd_iterate's open file and its lines, and the flag bits the
  // listed domain's limits add, read once when the listing starts: they
  // do not change during one listing.
  int listing = -1;
  std::unique_ptr<ChunkLines> listing_lines;
  std::optional<int32_t> listing_flags;
};

PasswdState& state() {
  static PasswdState passwd_state;
  return passwd_state;
}

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
// false when the user is absent, the read fails or falls short, or the
// value would not fit the lookup's line.
bool read_index_line(int fd, const std::string& user, std::string& line) {
  uint32_t length = 0;
  if (cdb_lookup(fd, user.data(), user.size(), &length) != 1) return false;
  size_t head = user.size() + 1;
  if (length >= kLookupLineSize - head) return false;
  line = user + ":";
  line.resize(head + length);
  return read_exactly(fd, line.data() + head, length);
}

// A missing index is rebuilt from the text file, under the same lock as
// every change: two rebuilds at once would write one cdb.tmp together. When
// the lock stays busy the change holding it rebuilds the index anyway.
void repair_index(const std::string& domain) {
  FileLock lock;
  if (lock.lock_waiting(state().paths.lock, FileLock::kBusyWait) != 0) return;
  passwd_rebuild(domain);
}

int open_index(const std::string& domain) {
  int fd = open_regular(state().paths.index, false);
  if (fd >= 0) return fd;
  repair_index(domain);
  return open_regular(state().paths.index, false);
}

void close_listing() {
  PasswdState& s = state();
  s.listing_lines.reset();
  if (s.listing >= 0) close(s.listing);
  s.listing = -1;
}

}  // namespace

bool may_use_domain(uid_t domain_uid) {
  uid_t effective = geteuid();
  return effective == 0 || effective == domain_uid;
}

const passwd_file_paths& passwd_current_paths() { return state().paths; }

void passwd_paths(std::string& domain) {
  apply_default_domain(domain);
  passwd_file_paths& paths = state().paths;
  paths = passwd_file_paths{};
  std::string dir;
  if (domain.empty()) {
    dir = tessera_home() + "/users";
  } else if (std::optional<DomainHome> home = find_domain_home(domain)) {
    dir = home->dir;
  } else {
    return;  // an unknown domain has no password file
  }
  passwd_file_paths next{dir + "/tpasswd", dir + "/tpasswd.cdb",
                         dir + "/tpasswd.bak." + std::to_string(getpid()), dir + "/cdb.tmp",
                         dir + "/.tpasswd.lock"};
  // A path is never cut: a cut temporary name could be tpasswd itself.
  for (const std::string* path :
       {&next.text, &next.index, &next.temp, &next.index_temp, &next.lock}) {
    if (!store_path_fits(*path)) return;
  }
  paths = next;
}

password_record* passwd_get(std::string& user, std::string& domain) {
  last_error = 0;
  lower_name(user);
  lower_name(domain);
  uid_t uid = 0;
  if (tget_assign(domain, nullptr, 0, &uid, nullptr) == nullptr) return nullptr;
  if (!may_use_domain(uid)) return nullptr;
  std::string copy = field_text(domain, kDomainCopyBuffer);
  passwd_paths(copy);
  if (state().paths.index.empty()) return nullptr;
  int fd = open_index(copy);
  if (fd < 0) return nullptr;
  FdGuard index(fd);
  std::string line;
  if (!read_index_line(fd, user, line)) return nullptr;
  password_record& record = state().found;
  split_line(line, record);
  apply_domain_limits(record, copy);
  return &record;
}

password_record* passwd_iterate(std::string& domain, int first) {
  PasswdState& s = state();
  if (first == 1) {
    // The paths and the limits are worked out once per listing, not for
    // each of its (possibly a hundred thousand) records.
    passwd_paths(domain);
    close_listing();
    if (!s.paths.text.empty()) s.listing = open_regular(s.paths.text, false);
    if (s.listing >= 0) s.listing_lines = std::make_unique<ChunkLines>(s.listing);
    s.listing_flags = domain_limit_flags(domain);
  } else {
    apply_default_domain(domain);
  }
  if (s.listing < 0) return nullptr;
  std::string_view line;
  bool ended = false;
  if (!s.listing_lines->next(line, ended) || std::count(line.begin(), line.end(), ':') < 6) {
    close_listing();
    return nullptr;
  }
  split_line(line, s.listed);
  s.listed.clear_password.clear();  // the listing never hands it out
  apply_limit_flags(s.listed, s.listing_flags);
  return &s.listed;
}

int passwd_check_names(const std::string& user, const std::string& domain) {
  if (user.size() > kUserNameMax) return kErrUserTooLong;
  if (user.size() == 1) return kErrIllegalUsername;
  if (domain.size() > kDomainNameMax) return kErrDomainTooLong;
  return 0;
}

int passwd_check(const password_record* record, const std::string* domain) {
  if (record == nullptr || domain == nullptr) return kErrNullPointer;
  if (int result = passwd_check_names(record->name, *domain); result != 0) return result;
  if (record->password.size() > kPasswordMax) return kErrPasswordTooLong;
  if (record->gecos.size() > kGecosMax) return kErrGecosTooLong;
  if (record->dir.size() > kMailboxDirMax) return kErrDirTooLong;
  if (record->quota.size() > kQuotaTextMax) return kErrQuotaTooLong;
  return 0;
}

int passwd_set_quota(const std::string& user, std::string& domain, const std::string& quota) {
  if (int result = passwd_check_names(user, domain); result != 0) return result;
  if (quota.size() > kQuotaTextMax) return kErrQuotaTooLong;
  std::string name = user;
  password_record* record = passwd_get(name, domain);
  if (record == nullptr) return kErrNoUser;
  record->quota = quota;
  return passwd_update(*record, domain);
}

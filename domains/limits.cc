#include "domains/limits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "base/password_record.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "base/text.h"
#include "domains/assign.h"

namespace {

// Only this much of a limits file is ever looked at.
constexpr size_t kReadWindow = 2048;

struct CountKey {
  const char* key;
  int32_t domain_limits::*field;
};
constexpr CountKey kCountKeys[] = {
    {"maxpopaccounts", &domain_limits::maxpopaccounts},
    {"maxaliases", &domain_limits::maxaliases},
    {"maxforwards", &domain_limits::maxforwards},
    {"maxautoresponders", &domain_limits::maxautoresponders},
    {"maxmailinglists", &domain_limits::maxmailinglists},
};

struct SizeKey {
  const char* key;
  uint64_t domain_limits::*field;
};
constexpr SizeKey kSizeKeys[] = {
    {"quota", &domain_limits::quota},
    {"maxmsgcount", &domain_limits::maxmsgcount},
    {"default_quota", &domain_limits::default_quota},
    {"default_maxmsgcount", &domain_limits::default_maxmsgcount},
};

// The service flags in record order, with the account flag bit each imposes.
struct FlagKey {
  const char* key;
  int16_t domain_limits::*field;
  int32_t account_bit;
};
constexpr FlagKey kFlagKeys[] = {
    {"disable_pop", &domain_limits::disable_pop, kDisablePop},
    {"disable_imap", &domain_limits::disable_imap, kDisableImap},
    {"disable_dialup", &domain_limits::disable_dialup, kDisableDialup},
    {"disable_password_changing", &domain_limits::disable_password_changing,
     kDisablePasswordChanging},
    {"disable_webmail", &domain_limits::disable_webmail, kDisableWebmail},
    {"disable_external_relay", &domain_limits::disable_external_relay, kDisableExternalRelay},
    {"disable_smtp", &domain_limits::disable_smtp, kDisableSmtp},
    {"disable_spamassassin", &domain_limits::disable_spamassassin, kDisableSpamassassin},
    {"delete_spam", &domain_limits::delete_spam, kDeleteSpam},
    {"disable_maildrop", &domain_limits::disable_maildrop, kDisableMaildrop},
};

// The permission masks in file order. The mailing-list entry carries three
// masks in one value, three bits each.
struct PermKey {
  const char* key;
  int16_t domain_limits::*field;
  bool three_masks;
};
constexpr PermKey kPermKeys[] = {
    {"perm_account", &domain_limits::perm_account, false},
    {"perm_alias", &domain_limits::perm_alias, false},
    {"perm_forward", &domain_limits::perm_forward, false},
    {"perm_autoresponder", &domain_limits::perm_autoresponder, false},
    {"perm_maillist", &domain_limits::perm_maillist, true},
    {"perm_quota", &domain_limits::perm_quota, false},
    {"perm_defaultquota", &domain_limits::perm_defaultquota, false},
};

// The leading decimal number of a value, as the C library reads it (0 when
// there is none).
long leading_long(std::string_view value) {
  return strtol(std::string(value).c_str(), nullptr, 10);
}

uint64_t leading_size(std::string_view value) {
  return static_cast<uint64_t>(strtoll(std::string(value).c_str(), nullptr, 10));
}

void parse_line(std::string_view line, domain_limits& limits) {
  std::optional<LimitsSplit> split = split_limits_line(line, kStoreLimitsSyntax);
  if (!split) return;
  const std::string_view key = split->key;
  const std::string_view value = split->value;
  const bool has_value = split->has_value;

  for (const FlagKey& flag : kFlagKeys) {
    if (key == flag.key) limits.*flag.field = 1;
  }
  if (!has_value) return;
  for (const CountKey& count : kCountKeys) {
    if (key == count.key) limits.*count.field = static_cast<int32_t>(leading_long(value));
  }
  for (const SizeKey& size : kSizeKeys) {
    if (key == size.key) limits.*size.field = leading_size(value);
  }
  for (const PermKey& perm : kPermKeys) {
    if (key != perm.key) continue;
    auto bits = static_cast<uint32_t>(leading_long(value));
    limits.*perm.field = static_cast<int16_t>(bits & 7);
    if (perm.three_masks) {
      limits.perm_maillist_group1 = static_cast<int16_t>((bits >> 3) & 7);
      limits.perm_maillist_group2 = static_cast<int16_t>((bits >> 6) & 7);
    }
  }
}


// Parses lines from the front of a window of kReadWindow bytes, topping it
// up after each line. A partial line is moved to the front only while the
// window has room; once the window is full, the rest of the file is ignored.
int read_limits_fd(int fd, domain_limits& limits) {
  char window[kReadWindow];
  size_t start = 0;
  size_t used = 0;
  bool at_end = false;
  for (;;) {
    if (!at_end && used < kReadWindow) {
      ssize_t got = read(fd, window + used, kReadWindow - used);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      if (got == 0) at_end = true;
      used += static_cast<size_t>(got);
    }
    std::string_view pending(window + start, used - start);
    size_t line_end = pending.find_first_of("\n\r");
    if (line_end != std::string_view::npos) {
      parse_line(pending.substr(0, line_end), limits);
      start += line_end + 1;
      continue;
    }
    if (at_end) {
      parse_line(pending, limits);
      return 0;
    }
    if (used == kReadWindow) return 0;
    memmove(window, window + start, pending.size());
    used = pending.size();
    start = 0;
  }
}

// Reads the domain's own file and hands it to the domain. A symbolic link
// is still read but never re-owned, nor is a file that has a second name,
// so a link planted in the domain's directory cannot give another file away.
int read_domain_file(const DomainHome& place, domain_limits& limits) {
  std::string path = domain_limits_path(place.dir);
  bool may_reown = true;
  struct stat status;
  int fd = open_regular_at(AT_FDCWD, path, O_RDONLY, false, &status);
  if (fd < 0 && errno == ELOOP) {
    may_reown = false;
    fd = open_regular(path, true);
  }
  if (fd < 0) return -1;
  FdGuard file(fd);
  if (read_limits_fd(fd, limits) != 0) return -1;
  if (may_reown && status.st_nlink == 1) {
    // Failures are ignored: the limits were read, which is what counts.
    int owned = fchown(fd, place.uid, place.gid);
    int narrowed = fchmod(fd, 0600);
    (void)owned;
    (void)narrowed;
  }
  return 0;
}

// The owner and mode the temporary file takes before it replaces the target.
struct TargetMode {
  uid_t uid;
  gid_t gid;
  mode_t mode;
};

// Writes text to PATH.PID and renames that over path, so readers see the
// old file or the new one, never a part. The copy takes its owner and mode
// before the text goes in (only the mode must hold: a process that may not
// give the file away keeps it), and is removed on failure.
int replace_limits_file(const std::string& path, std::string_view text,
                        const std::optional<TargetMode>& target) {
  // No path (a domain directory too long for one): no file of any name.
  if (path.empty()) return -1;
  TempFile temp(temp_name_for(path));
  if (!temp.create(target ? target->mode : 0666)) {
    fprintf(stderr, "tlimits: failed to open limits file (%d):  %s\n", errno, path.c_str());
    return -1;
  }
  if (target && !(temp.give_owner(target->uid, target->gid, false) && temp.set_mode(target->mode))) {
    return -1;
  }
  temp.out().write(text);
  return temp.replace(path) == 0 ? 0 : -1;
}

}  // namespace

std::string domain_limits_path(const std::string& dir) {
  std::string path = domain_limits_file(dir);
  return store_path_fits(path) ? path : std::string();
}

int read_limits_file(const std::string& path, domain_limits& limits) {
  // Not only the store's own defaults file: tessera reads a limits text
  // from any file its administrator names, standard input included.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  FdGuard file(fd);
  return read_limits_fd(fd, limits);
}

int get_domain_limits(const DomainName& domain, domain_limits& limits) {
  limits = domain_limits{};
  std::optional<DomainHome> place = find_domain_home(domain);
  if (!place) {
    fprintf(stderr, "Error. Domain %s was not found in the assign file\n", domain.str().c_str());
    return -1;
  }
  if (read_domain_file(*place, limits) == 0) return 0;
  // The defaults file belongs to the store and is never re-owned.
  return read_limits_file(default_limits_file(), limits) == 0 ? 0 : -1;
}

std::string format_limits(const domain_limits& limits) {
  std::string text;
  auto put = [&text](const char* key, const std::string& value) {
    text.append(key).append(": ").append(value).append("\n");
  };
  for (const CountKey& count : kCountKeys) put(count.key, std::to_string(limits.*count.field));
  for (const SizeKey& size : kSizeKeys) put(size.key, std::to_string(limits.*size.field));
  for (const FlagKey& flag : kFlagKeys) {
    if (limits.*flag.field != 0) text.append(flag.key).append("\n");
  }
  for (const PermKey& perm : kPermKeys) {
    int value = limits.*perm.field;
    if (perm.three_masks) {
      value |= (limits.perm_maillist_group1 << 3) | (limits.perm_maillist_group2 << 6);
    }
    put(perm.key, std::to_string(value));
  }
  return text;
}

int write_limits_file(const std::string& path, const domain_limits& limits) {
  std::optional<TargetMode> target;
  struct stat status;
  // Replacing a file must not widen it: the new one keeps the old mode.
  if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    target = TargetMode{status.st_uid, status.st_gid, status.st_mode & 07777};
  }
  return replace_limits_file(path, format_limits(limits), target);
}

int write_domain_limits(const DomainName& domain, const domain_limits& limits) {
  std::optional<DomainHome> place = find_domain_home(domain);
  if (!place) return kErrNoDomain;
  return replace_limits_file(domain_limits_path(place->dir), format_limits(limits),
                             TargetMode{place->uid, place->gid, 0600});
}

int write_limits_text(const DomainHome& home, std::string_view text) {
  return replace_limits_file(domain_limits_path(home.dir), text,
                             TargetMode{home.uid, home.gid, 0600});
}

int delete_domain_limits(const DomainName& domain) {
  std::optional<DomainHome> place = find_domain_home(domain);
  if (!place) {
    printf("Failed tget_assign for %s\n", domain.str().c_str());
    return -1;
  }
  return unlink(domain_limits_path(place->dir).c_str()) == 0 ? 0 : -1;
}

int32_t limits_flag_mask(const domain_limits& limits) {
  int32_t mask = 0;
  for (const FlagKey& flag : kFlagKeys) {
    if (limits.*flag.field != 0) mask |= flag.account_bit;
  }
  return mask;
}

std::optional<LimitsSplit> split_limits_line(std::string_view line, const LimitsSyntax& syntax) {
  line = line.substr(0, line.find('\0'));
  if (syntax.skip_leading) {
    size_t start = line.find_first_not_of(syntax.separators);
    line = start == std::string_view::npos ? std::string_view() : line.substr(start);
  }
  if (line.empty() || line.front() == '#') return std::nullopt;
  size_t key_end = line.find_first_of(syntax.separators);
  LimitsSplit split;
  split.key = line.substr(0, key_end);
  if (split.key.empty()) return std::nullopt;
  split.has_value = key_end != std::string_view::npos;
  if (split.has_value) {
    size_t value_start = line.find_first_not_of(syntax.separators, key_end);
    if (value_start != std::string_view::npos) split.value = line.substr(value_start);
  }
  if (syntax.first_word) split.value = split.value.substr(0, split.value.find_first_of(syntax.separators));
  return split;
}

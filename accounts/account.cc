// Creating a mailbox, and changing its quota or password.
#include "accounts/account.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "accounts/hash_password.h"
#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "base/address.h"
#include "base/cwd_guard.h"
#include "base/dir_tree.h"
#include "base/error.h"
#include "base/leftover.h"
#include "base/safe_path.h"
#include "base/text.h"
#include "domains/assign.h"
#include "domains/dir_control.h"
#include "domains/limits.h"
#include "quota/maildir_quota.h"

namespace {

constexpr size_t kInitialQuotaMax = 49;
constexpr size_t kDomainMinLength = 3;
constexpr mode_t kDirMode = 0750;
constexpr unsigned kQuotaRetrySeconds = 5;
constexpr const char* kNeverLoggedIn = "0.0.0.0";
constexpr const char* kMaildirParts[] = {"Maildir", "Maildir/new", "Maildir/cur", "Maildir/tmp"};

// A copy of the account's record, or none: the lookup's own record is
// overwritten by the next lookup, which the routines below all make.
std::optional<password_record> find_account(std::string& user, std::string& domain) {
  const password_record* record = passwd_get(user, domain);
  if (!record) return std::nullopt;
  return *record;
}

// The new account's quota, from the domain's defaults.
std::string initial_quota_text(const domain_limits& limits) {
  std::string text;
  if (limits.default_quota != 0 && limits.default_maxmsgcount != 0) {
    text = std::to_string(limits.default_quota) + "S," +
           std::to_string(limits.default_maxmsgcount) + "C";
  } else if (limits.default_quota != 0) {
    text = std::to_string(limits.default_quota) + "S";
  } else if (limits.default_maxmsgcount != 0) {
    text = std::to_string(limits.default_maxmsgcount) + "C";
  } else {
    text = "NOQUOTA";
  }
  cut_text(text, kInitialQuotaMax);
  return text;
}

std::string mailbox_dir(const std::string& domain_dir, const std::string& subdir,
                        const std::string& user) {
  return subdir.empty() ? domain_dir + "/" + user : domain_dir + "/" + subdir + "/" + user;
}

// A sub-directory for a new mailbox: a freed one first, else the next of
// the domain's allocation, recorded at once. The allocation is read,
// advanced and written back under the domain's slot lock, so concurrent
// creations never hand out a count twice. Runs in the domain directory.
std::optional<std::string> reserve_subdir(const std::string& domain, uid_t uid, gid_t gid) {
  // The free list is the domain user's to write: an entry that would
  // reach outside the domain directory is passed over.
  std::optional<std::string> freed = free_dir_take(domain);
  if (freed && is_plain_path(*freed)) {
    make_path(*freed, uid, gid);
    return *freed;
  }
  // Without the lock (busy, or a link planted at its name) no count is
  // taken: two creations could otherwise be handed the same one.
  FileLock lock;
  if (dir_control_lock(lock, domain, uid, gid) != 0) return std::nullopt;
  dir_control_load(domain, uid);
  std::string subdir = dir_control_next(uid, gid);
  dir_control_save(domain, uid, gid);
  return subdir;
}

// The maildir inside the new mailbox directory (the working directory).
bool make_maildir() {
  for (const char* part : kMaildirParts) {
    if (mkdir(part, kDirMode) != 0) {
      fprintf(stderr, "make_user_dir: failed on %s\n", part);
      return false;
    }
  }
  return true;
}

// Points an existing account's line at its new directory.
void repoint_account(const std::string& user, const std::string& domain,
                     const std::string& dir) {
  std::string user_copy = user;
  std::string domain_copy = domain;
  std::optional<password_record> record = find_account(user_copy, domain_copy);
  if (!record) return;
  record->dir = dir;
  passwd_update(*record, domain_copy);
}

bool enter_and_close(const std::string& dir) {
  int fd = enter_dir(dir);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Takes a half-made mailbox directory away again; the caller stands in
// the domain directory.
void remove_user_dir(const std::string& subdir, const std::string& user) {
  if (!subdir.empty() && !enter_and_close(subdir)) return;
  delete_tree(user);
}

}  // namespace

namespace {

// Builds the mailbox of user in a reserved sub-directory, as the directory
// `built` (the user's own name, or its pending name while a creation has
// no password line yet). Runs in the domain directory.
std::optional<std::string> build_user_dir(const std::string& user, const std::string& domain,
                                          uid_t uid, gid_t gid, const std::string& built) {
  last_error = 0;
  if (!is_plain_name(user)) {
    last_error = kErrIllegalUsername;
    return std::nullopt;
  }
  CwdGuard cwd;
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) {
    fprintf(stderr, "Error. tget_assign() failed for domain : %s", domain.c_str());
    return std::nullopt;
  }
  if (chdir(home->dir.c_str()) != 0) return std::nullopt;
  std::optional<std::string> reserved = reserve_subdir(domain, uid, gid);
  if (!reserved) return std::nullopt;
  const std::string subdir = *reserved;
  // Below the domain directory nothing is entered through a link: the
  // domain's user could have planted one in place of any of these.
  if (!subdir.empty() && !enter_and_close(subdir)) return std::nullopt;
  // The whole path, separators included, must fit the password line's
  // directory field, or the account could never be updated afterwards.
  if (mailbox_dir(home->dir, subdir, user).size() > kMailboxDirMax) {
    fputs("Error. Path exceeds maximum permitted length\n", stderr);
    return std::nullopt;
  }
  struct stat existing;
  if ((built != user && lstat(user.c_str(), &existing) == 0) ||
      mkdir(built.c_str(), kDirMode) != 0) {
    last_error = kErrUserDirExists;
    return std::nullopt;
  }
  bool made = enter_and_close(built);
  if (!made) fputs("make_user_dir: error 2\n", stderr);
  if (made && !make_maildir()) made = false;
  if (!made || chdir("..") != 0) {
    if (chdir(home->dir.c_str()) == 0) remove_user_dir(subdir, built);
    return std::nullopt;
  }
  r_chown(built, uid, gid);
  if (built == user) repoint_account(user, domain, mailbox_dir(home->dir, subdir, user));
  return subdir;
}

// Moves a new mailbox from its pending name to the user's own, once its
// password line is written; a creation that dies before leaves a pending
// directory that the store check finishes (line written) or removes.
bool publish_user_dir(const std::string& domain_dir, const std::string& subdir,
                      const std::string& user) {
  if (chdir(domain_dir.c_str()) != 0 || (!subdir.empty() && !enter_and_close(subdir))) {
    return false;
  }
  return rename(pending_name_for(user).c_str(), user.c_str()) == 0;
}

}  // namespace

std::optional<std::string> make_user_dir(const std::string& user, const std::string& domain,
                                         uid_t uid, gid_t gid) {
  return build_user_dir(user, domain, uid, gid, user);
}

int add_account(std::string& user, std::string& domain, const std::string& clear_password,
                std::string gecos) {
  if (gecos.find(':') != std::string::npos) return kErrBadChar;
  if (user.size() > kUserNameMax) return kErrUserTooLong;
  if (user.size() <= 1) return kErrIllegalUsername;
  if (domain.size() > kDomainNameMax) return kErrDomainTooLong;
  if (domain.size() < kDomainMinLength) return kErrInvalidDomain;
  if (clear_password.size() > kPasswordMax) return kErrPasswordTooLong;
  if (gecos.size() > kGecosMax) return kErrGecosTooLong;
  umask(077);
  lower_name(user);
  lower_name(domain);
  if (user_name_ok(user) != 0) return kErrIllegalUsername;
  // The name becomes a directory inside the domain's: "/", "." or ".."
  // would place the mailbox elsewhere (a web form passes names here).
  if (!is_plain_name(user)) return kErrIllegalUsername;
  if (domain_name_ok(domain) != 0) return kErrInvalidDomain;
  if (passwd_get(user, domain)) return kErrUsernameExists;
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) return kErrNoDomain;
  domain_limits limits;
  if (get_domain_limits(domain, limits) != 0) return kErrDomainLimits;

  CwdGuard cwd;
  if (chdir(home->dir.c_str()) != 0) return kErrChdirDomains;
  const std::string pending = pending_name_for(user);
  std::optional<std::string> subdir =
      build_user_dir(user, domain, home->uid, home->gid, pending);
  if (!subdir) return last_error != 0 ? last_error : kErrChdirUsers;
  int added = passwd_add(user, domain, clear_password, gecos, *subdir);
  if (added == 0 && !publish_user_dir(home->dir, *subdir, user)) {
    std::string user_copy = user, domain_copy = domain;
    passwd_delete(user_copy, domain_copy);
    added = -1;
  }
  if (added != 0) {
    fputs("Failed while attempting to add user to auth backend\n", stderr);
    if (chdir(home->dir.c_str()) == 0) remove_user_dir(*subdir, pending);
    // A name that another process entered first stays that process's
    // account; only this creation is undone, and the caller is told why.
    std::string user_copy = user, domain_copy = domain;
    bool taken = added == kErrUsernameExists && passwd_get(user_copy, domain_copy) != nullptr;
    return taken ? kErrUsernameExists : kErrNoAuthDb;
  }
  if (set_user_quota(user, domain, initial_quota_text(limits)) == kErrNoUser) {
    sleep(kQuotaRetrySeconds);
    set_user_quota(user, domain, initial_quota_text(limits));
  }
  int written = lastauth_write(user, domain, kNeverLoggedIn);
  cwd.restore();
  if (written != 0) {
    fputs("Failed to create create lastauth entry\n", stderr);
    return kErrNoAuthDb;
  }
  return 0;
}

int set_user_quota(std::string& user, std::string& domain, const std::string& quota) {
  if (int code = passwd_check_names(user, domain); code != 0) return code;
  if (quota.size() > kQuotaTextMax) return kErrQuotaTooLong;
  lower_name(user);
  lower_name(domain);
  std::optional<password_record> record = find_account(user, domain);
  if (!record) return kErrNoUser;
  std::string quota_text = format_quota_spec(quota);
  if (int code = passwd_set_quota(user, domain, quota_text); code != 0) return code;
  update_maildirsize(domain, record->dir, quota_text);
  return 0;
}

int change_password(std::string& user, std::string& domain, const std::string& password) {
  if (int code = passwd_check_names(user, domain); code != 0) return code;
  if (password.size() > kPasswordMax) return kErrPasswordTooLong;
  lower_name(user);
  lower_name(domain);
  std::optional<password_record> record = find_account(user, domain);
  if (!record) return kErrIllegalUsername;
  if (record->flags & kDisablePasswordChanging) return kErrIllegalUsername;
  std::string hashed;
  if (hash_password(password, hashed) != 0) return kErrCrypt;
  record->password = hashed;
  return passwd_update(*record, domain);
}

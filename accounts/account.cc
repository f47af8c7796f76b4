// Creating a mailbox, and changing its quota or password.
#include "accounts/account.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <set>

#include "accounts/hash_password.h"
#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "accounts/passwd_common.h"
#include "accounts/routing.h"
#include "base/address.h"
#include "base/cwd_guard.h"
#include "base/dir_tree.h"
#include "base/error.h"
#include "base/leftover.h"
#include "base/safe_path.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"
#include "domains/dir_control.h"
#include "domains/limits.h"
#include "quota/maildir_quota.h"

namespace {

constexpr size_t kInitialQuotaMax = 49;
constexpr size_t kDomainMinLength = 3;
constexpr mode_t kDirMode = 0750;

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

// A freed sub-directory of the domain, made again, or none. The free list
// is the domain user's to write: an entry that would reach outside the
// domain directory is passed over. Runs in the domain directory.
std::optional<std::string> take_freed_subdir(const DomainName& domain, uid_t uid, gid_t gid) {
  std::optional<std::string> freed = free_dir_take(domain);
  if (!freed || !is_plain_path(*freed)) return std::nullopt;
  make_path(*freed, uid, gid);
  return *freed;
}

// Sub-directories for `count` new mailboxes from the domain's allocation,
// recorded at once. The allocation is read, advanced and written back
// under the domain's slot lock, so concurrent creations never hand out a
// count twice; a batch pays for one write of it. Without the lock (busy,
// or a link planted at its name) no count is taken: two creations could
// otherwise be handed the same one. Runs in the domain directory.
std::optional<std::vector<std::string>> allocate_subdirs(const DomainName& domain, uid_t uid,
                                                         gid_t gid, size_t count) {
  std::vector<std::string> subdirs;
  if (count == 0) return subdirs;
  FileLock lock;
  if (dir_control_lock(lock, domain, uid, gid) != 0) return std::nullopt;
  DirControl record;
  dir_control_load(record, domain, uid);
  for (size_t i = 0; i < count; ++i) subdirs.push_back(dir_control_next(record, uid, gid));
  dir_control_save(record, domain, uid, gid);
  return subdirs;
}

// A sub-directory for a new mailbox: a freed one first, else the next of
// the domain's allocation.
std::optional<std::string> reserve_subdir(const DomainName& domain, uid_t uid, gid_t gid) {
  if (std::optional<std::string> freed = take_freed_subdir(domain, uid, gid)) return freed;
  std::optional<std::vector<std::string>> fresh = allocate_subdirs(domain, uid, gid, 1);
  if (!fresh) return std::nullopt;
  return fresh->front();
}

// The maildir inside the new mailbox directory (the working directory).
bool make_maildir() {
  for (std::string_view name : kMaildirParts) {
    const std::string part(name);
    if (mkdir(part.c_str(), kDirMode) != 0) {
      fprintf(stderr, "make_user_dir: failed on %s\n", part.c_str());
      return false;
    }
  }
  return true;
}

// Points an existing account's line at its new directory.
void repoint_account(const std::string& user, const DomainName& domain,
                     const std::string& dir) {
  std::optional<password_record> record = passwd_find(user, domain);
  if (!record) return;
  record->dir = dir;
  passwd_update(*record, domain);
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

// make_user_dir once its sub-directory is reserved: the mailbox directory
// and its maildir inside it, built as `built` (the user's own name, or its
// pending name while a creation has no password line yet). The working
// directory is restored.
std::optional<std::string> build_user_dir(const DomainHome& home, const std::string& subdir,
                                          const std::string& user, const DomainName& domain,
                                          uid_t uid, gid_t gid, const std::string& built) {
  CwdGuard cwd;
  if (chdir(home.dir.c_str()) != 0) return std::nullopt;
  // Below the domain directory nothing is entered through a link: the
  // domain's user could have planted one in place of any of these.
  if (!subdir.empty() && !enter_and_close(subdir)) return std::nullopt;
  // The whole path, separators included, must fit the password line's
  // directory field, or the account could never be updated afterwards.
  if (mailbox_dir(home.dir, subdir, user).size() > kMailboxDirMax) {
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
    if (chdir(home.dir.c_str()) == 0) remove_user_dir(subdir, built);
    return std::nullopt;
  }
  r_chown(built, uid, gid);
  if (built == user) repoint_account(user, domain, mailbox_dir(home.dir, subdir, user));
  return subdir;
}

// Moves a new mailbox from its pending name to the user's own, once its
// password line is written; a creation that dies before leaves a pending
// directory that the store check finishes (line written) or removes.
bool publish_user_dir(const std::string& domain_dir, const std::string& subdir,
                      const std::string& user) {
  CwdGuard cwd;
  if (chdir(domain_dir.c_str()) != 0 || (!subdir.empty() && !enter_and_close(subdir))) {
    return false;
  }
  return rename(pending_name_for(user).c_str(), user.c_str()) == 0;
}

}  // namespace

std::optional<std::string> make_user_dir(const std::string& user, const DomainName& domain,
                                         uid_t uid, gid_t gid) {
  last_error = 0;
  if (!is_plain_name(user)) {
    last_error = kErrIllegalUsername;
    return std::nullopt;
  }
  CwdGuard cwd;
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) {
    fprintf(stderr, "Error. tget_assign() failed for domain : %s", domain.str().c_str());
    return std::nullopt;
  }
  if (chdir(home->dir.c_str()) != 0) return std::nullopt;
  std::optional<std::string> subdir = reserve_subdir(domain, uid, gid);
  if (!subdir) return std::nullopt;
  return build_user_dir(*home, *subdir, user, domain, uid, gid, user);
}

StoreError check_new_account(const Mailbox& mailbox, const std::string& clear_password,
                             const std::string& gecos, NewAccountPlace* place) {
  const std::string& user = mailbox.user;
  // The mailbox's names were lower-cased (and cut) where they entered; the
  // length checks give what they gave on the name as typed, since a name
  // over 32 or 96 characters is refused whether cut at 156 or not.
  const std::string& domain = mailbox.domain;
  if (gecos.find(':') != std::string::npos) return kErrBadChar;
  if (user.size() > kUserNameMax) return kErrUserTooLong;
  if (user.size() <= 1) return kErrIllegalUsername;
  if (domain.size() > kDomainNameMax) return kErrDomainTooLong;
  if (domain.size() < kDomainMinLength) return kErrInvalidDomain;
  if (clear_password.size() > kPasswordMax) return kErrPasswordTooLong;
  if (gecos.size() > kGecosMax) return kErrGecosTooLong;
  umask(077);
  // A new name never begins with ".": the store's pending directories
  // (".NAME.PID") and hidden files do. Accounts that have one already
  // stay viewable, changeable and deletable.
  if (new_user_name_ok(user) != 0) return kErrIllegalUsername;
  // The name becomes a directory inside the domain's: "/", "." or ".."
  // would place the mailbox elsewhere (a web form passes names here).
  if (!is_plain_name(user)) return kErrIllegalUsername;
  if (domain_name_ok(domain) != 0) return kErrInvalidDomain;
  // An alias's entry carries its real domain's home: one lookup gives both.
  std::optional<DomainHome> home = find_domain_home(mailbox.domain);
  if (passwd_find(user, mailbox.domain)) return kErrUsernameExists;
  // An alias (or any .qmail-NAME) already answers for the name: the new
  // mailbox would never be delivered to.
  if (home && name_has_dot_qmail(home->dir, user)) return kErrUsernameExists;
  if (!home) return kErrNoDomain;
  domain_limits limits;
  if (get_domain_limits(mailbox.domain, limits) != 0) return kErrDomainLimits;
  if (place != nullptr) *place = NewAccountPlace{*home, limits};
  return kSuccess;
}

namespace {

// One account of a batch on its way: where it goes and what its line says.
struct Creation {
  NewAccount* account;
  DomainName given;    // the name the caller asked for (perhaps an alias)
  DomainName domain;   // the real domain its checks found
  NewAccountPlace place;
  std::string subdir;
  std::string quota = "NOQUOTA";  // the quota text its line carries
  bool quota_set = false;         // a quota text was set (its maildirsize is due)
};

// Sets the line's quota text as set_user_quota would set it on the new
// line: refused (-29) when the text or its normal form is too long.
int set_line_quota(Creation& c, const std::string& text) {
  if (text.size() > kQuotaTextMax) return kErrQuotaTooLong;
  std::string normal = format_quota_spec(text);
  if (normal.size() > kQuotaTextMax) return kErrQuotaTooLong;
  c.quota = normal;
  c.quota_set = true;
  return 0;
}

// Steps 1 to 8 of a creation: the checks. false with the account's result
// set when the account stops here.
bool check_account(Creation& c, std::set<std::string>& names) {
  NewAccount& a = *c.account;
  Mailbox mailbox(a.user, c.given);
  a.user = mailbox.user;
  a.result = check_new_account(mailbox, a.password, a.gecos, &c.place);
  if (a.result == 0) c.domain = c.place.home.domain;
  if (a.result != 0) return false;
  // A name made earlier in the batch is there already, as its lookup would
  // have found had it been made first.
  if (!names.insert(a.user).second) a.result = kErrUsernameExists;
  return a.result == 0;
}

// Step 10's reservation for every checked account: freed sub-directories
// first, then one write of the domain's allocation for the rest. An
// account left without one stops (-4), as make_user_dir would stop it.
void reserve_subdirs(std::vector<Creation>& made) {
  if (made.empty()) return;
  const DomainHome& home = made.front().place.home;
  const DomainName& domain = made.front().domain;
  CwdGuard cwd;
  if (chdir(home.dir.c_str()) != 0) {
    for (Creation& c : made) c.account->result = kErrChdirDomains;
    return;
  }
  std::vector<Creation*> fresh;
  for (Creation& c : made) {
    if (std::optional<std::string> freed = take_freed_subdir(domain, home.uid, home.gid)) {
      c.subdir = *freed;
    } else {
      fresh.push_back(&c);
    }
  }
  std::optional<std::vector<std::string>> subdirs =
      allocate_subdirs(domain, home.uid, home.gid, fresh.size());
  for (size_t i = 0; i < fresh.size(); ++i) {
    if (subdirs) {
      fresh[i]->subdir = (*subdirs)[i];
    } else {
      fresh[i]->account->result = kErrChdirUsers;
    }
  }
}

// The rest of step 10 (the mailbox directory in its sub-directory), and
// the quota its line will carry. false with the result set on failure.
bool make_account_dir(Creation& c) {
  NewAccount& a = *c.account;
  if (a.result != 0) return false;
  const DomainHome& home = c.place.home;
  last_error = 0;
  if (!build_user_dir(home, c.subdir, a.user, c.domain, home.uid, home.gid,
                      pending_name_for(a.user))) {
    a.result = last_error != 0 ? last_error : kErrChdirUsers;
    return false;
  }
  if (!may_use_domain(home.uid)) {
    // A process that cannot read the account back (it runs as neither
    // root nor the domain's user) finds no account to give a quota.
    if (!a.quota.empty()) {
      a.quota_result = a.quota.size() > kQuotaTextMax ? kErrQuotaTooLong : kErrNoUser;
    }
    return true;
  }
  // The domain's default quota, then the one asked for; a refused default
  // leaves NOQUOTA, as account creation ignores that refusal.
  set_line_quota(c, initial_quota_text(c.place.limits));
  if (!a.quota.empty()) a.quota_result = set_line_quota(c, a.quota);
  return true;
}

// A line that did not go in: the new directory goes again, and the caller
// learns whether another process made the name first.
void undo_account(Creation& c, int added) {
  NewAccount& a = *c.account;
  fputs("Failed while attempting to add user to auth backend\n", stderr);
  if (chdir(c.place.home.dir.c_str()) == 0) remove_user_dir(c.subdir, pending_name_for(a.user));
  // A name that another process entered first stays that process's
  // account; only this creation is undone, and the caller is told why.
  bool taken = added == kErrUsernameExists && passwd_find(a.user, c.domain).has_value();
  a.result = taken ? kErrUsernameExists : kErrNoAuthDb;
  a.quota_result = 0;
}

// Steps 12 and 13 for an account whose line went in.
void finish_account(Creation& c) {
  NewAccount& a = *c.account;
  if (c.quota_set) {
    update_maildirsize(c.given, mailbox_dir(c.place.home.dir, c.subdir, a.user), c.quota);
  }
  if (lastauth_write(a.user, c.given, kLastauthNever) != 0) {
    fputs("Failed to create create lastauth entry\n", stderr);
    a.result = kErrNoAuthDb;
  }
}

// The accounts that passed their checks and have their directories, added
// to the password file in one change.
void add_lines(std::vector<Creation>& made) {
  if (made.empty()) return;
  std::vector<passwd_new_line> lines(made.size());
  for (size_t i = 0; i < made.size(); ++i) {
    NewAccount& a = *made[i].account;
    lines[i] = passwd_new_line{a.user, a.password, a.gecos, made[i].subdir, made[i].quota, 0};
  }
  passwd_add_many(made.front().domain, lines);
  for (size_t i = 0; i < made.size(); ++i) {
    Creation& c = made[i];
    if (lines[i].result == 0 &&
        !publish_user_dir(c.place.home.dir, c.subdir, c.account->user)) {
      // The line names a directory that is not there: it goes again.
      passwd_delete(c.account->user, c.domain);
      lines[i].result = -1;
    }
    if (lines[i].result != 0) {
      undo_account(made[i], lines[i].result);
    } else {
      finish_account(made[i]);
    }
  }
}

}  // namespace

int add_accounts(const DomainName& domain, std::vector<NewAccount>& accounts) {
  std::vector<Creation> checked;
  checked.reserve(accounts.size());
  std::set<std::string> names;
  for (NewAccount& a : accounts) {
    a.result = a.quota_result = 0;
    Creation c{&a, domain, domain, {}, {}};
    bool ready = check_account(c, names);
    if (ready) checked.push_back(std::move(c));
  }
  reserve_subdirs(checked);
  std::vector<Creation> made;
  for (Creation& c : checked) {
    if (make_account_dir(c)) made.push_back(std::move(c));
  }
  add_lines(made);
  return static_cast<int>(std::count_if(accounts.begin(), accounts.end(),
                                        [](const NewAccount& a) { return a.result == 0; }));
}

StoreError add_account(const Mailbox& mailbox, const std::string& clear_password,
                       std::string gecos) {
  std::vector<NewAccount> one(1);
  one[0].user = mailbox.user;
  one[0].password = clear_password;
  one[0].gecos = std::move(gecos);
  add_accounts(mailbox.domain, one);
  return store_code(one[0].result);
}

StoreError set_user_quota(const Mailbox& mailbox, const std::string& quota) {
  const std::string& user = mailbox.user;
  const DomainName& domain = mailbox.domain;
  if (int code = passwd_check_names(user, domain); code != 0) return store_code(code);
  if (quota.size() > kQuotaTextMax) return kErrQuotaTooLong;
  std::optional<password_record> record = passwd_find(user, domain);
  if (!record) return kErrNoUser;
  std::string quota_text = format_quota_spec(quota);
  if (int code = passwd_set_quota(user, domain, quota_text); code != 0) return store_code(code);
  update_maildirsize(mailbox.domain, record->dir, quota_text);
  return kSuccess;
}

StoreError change_password(const Mailbox& mailbox, const std::string& password) {
  const std::string& user = mailbox.user;
  const DomainName& domain = mailbox.domain;
  if (int code = passwd_check_names(user, domain); code != 0) return store_code(code);
  if (password.size() > kPasswordMax) return kErrPasswordTooLong;
  std::optional<password_record> record = passwd_find(user, domain);
  if (!record) return kErrIllegalUsername;
  if (record->flags & kDisablePasswordChanging) return kErrIllegalUsername;
  std::string hashed;
  if (hash_password(password, hashed) != 0) return kErrCrypt;
  record->password = hashed;
  return passwd_update(*record, domain);
}

// Deleting a mailbox, and the domain's catch-all that protects one.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "accounts/account.h"
#include "accounts/dot_qmail.h"
#include "accounts/passwd.h"
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

namespace {

constexpr size_t kDotQmailLineMax = 159;
constexpr size_t kDotQmailPathMax = 159;

// The user a delivery path names: its last component, trailing "/"
// ignored, so ".../example.com/0/postmaster/" still names postmaster.
std::string last_path_component(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path.substr(path.rfind('/') + 1);
}

bool address_names(const std::string& target, const std::string& user,
                   const std::string& domain) {
  size_t at = target.find('@');
  return target.compare(0, at, user) == 0 && target.compare(at + 1, std::string::npos, domain) == 0;
}

// Enters the parent of a mailbox directory given relative to the domain's,
// without following a link at any step, so a link swapped in after the
// check cannot lead the work outside. The directory's own name, or none.
std::optional<std::string> enter_mailbox_parent(const std::string& domain_dir,
                                                const std::string& relative) {
  if (chdir(domain_dir.c_str()) != 0) return std::nullopt;
  size_t slash = relative.rfind('/');
  if (slash != std::string::npos) {
    int parent = enter_dir(relative.substr(0, slash));
    if (parent < 0) return std::nullopt;
    close(parent);
  }
  return relative.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Moves the mailbox to its pending name before its line goes, so that a
// deletion that dies half-way leaves the line with its mailbox beside it
// (the store check moves it back) or neither (the check removes the rest).
// The pending name, or "" when there was nothing to move.
std::string move_mailbox_aside(const std::string& domain_dir, const std::string& relative) {
  std::optional<std::string> name = enter_mailbox_parent(domain_dir, relative);
  if (!name) return "";
  std::string pending = pending_name_for(*name);
  return rename(name->c_str(), pending.c_str()) == 0 ? pending : "";
}

void move_mailbox_back(const std::string& domain_dir, const std::string& relative,
                       const std::string& pending) {
  std::optional<std::string> name = enter_mailbox_parent(domain_dir, relative);
  if (name) rename(pending.c_str(), name->c_str());
}

int remove_mailbox_dir(const std::string& domain_dir, const std::string& relative,
                       const std::string& pending) {
  std::optional<std::string> name = enter_mailbox_parent(domain_dir, relative);
  if (!name) return -1;
  return delete_tree(pending.empty() ? *name : pending);
}

}  // namespace

void trim_blanks(std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  text.erase(text.find_last_not_of(" \t") + 1);
  text.erase(0, first);
}

std::optional<std::string> dotqmail_first_line(const std::string* name,
                                               const DomainName* domain) {
  if (!name || !domain) {
    last_error = kErrNullPointer;
    return std::nullopt;
  }
  if (name->size() > kUserNameMax) {
    last_error = kErrUserTooLong;
    return std::nullopt;
  }
  if (domain->size() > kDomainNameMax) {
    last_error = kErrDomainTooLong;
    return std::nullopt;
  }
  std::optional<DomainHome> home = find_domain_home(*domain);
  if (!home) {
    printf("invalid domain, not in qmail assign file\n");
    return std::nullopt;
  }
  std::string extension = *name;
  std::replace(extension.begin(), extension.end(), '.', ':');
  std::string path = home->dir + "/" + std::string(kDotQmailPrefix) + extension;
  // Cut, the path would name some other file of the domain, read as its
  // delivery instructions: a path that does not fit reads as no file.
  if (!store_path_fits(path, kDotQmailPathMax)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  cut_text(line, kDotQmailLineMax);
  return line;
}

bool is_catchall(const std::string& user, const DomainName& domain,
                 const std::string& domain_dir) {
  const std::string extension = "default";
  std::optional<std::string> line = dotqmail_first_line(&extension, &domain);
  if (!line) return false;
  std::optional<std::string> target = delivery_argument(*line);
  if (!target || target->empty()) return false;
  // The delivery program reads the same argument by the same rule.
  const NoMailbox action = parse_no_mailbox(*target);
  switch (action.kind) {
    case NoMailboxKind::kBounce:
    case NoMailboxKind::kDelete:
      return false;
    case NoMailboxKind::kPath:
      if (target->find(domain_dir) == std::string::npos) return false;
      return last_path_component(*target) == user;
    case NoMailboxKind::kAddress:
      return address_names(*target, user, domain);
    case NoMailboxKind::kUnknown:
      break;
  }
  if (target->front() == '@') {
    fprintf(stderr, "unknown .qmail-default contents %s\n", target->c_str());
  }
  return false;
}

StoreError delete_account(const Mailbox& mailbox) {
  const std::string& user = mailbox.user;
  if (user.empty()) return kErrIllegalUsername;
  umask(077);
  CwdGuard cwd;
  std::optional<DomainHome> home = find_domain_home(mailbox.domain);
  if (!home) return kErrNoDomain;
  if (chdir(home->dir.c_str()) != 0) return kErrChdirDomains;
  // The alias's real domain is the one whose line goes.
  const DomainName& domain = home->domain;
  std::optional<password_record> found = passwd_find(user, domain);
  if (!found) return kErrNoUser;
  password_record record = *found;
  if (is_catchall(user, domain, home->dir)) return kErrCatchall;
  // The line names the directory, and the line is in a file that the
  // domain's user can write: only a directory that really lies inside the
  // domain's is removed.
  std::optional<std::string> inside = inside_dir(record.dir, home->dir);
  std::string pending = inside ? move_mailbox_aside(home->dir, *inside) : "";
  if (passwd_delete(user, domain) != 0) {
    if (!pending.empty()) move_mailbox_back(home->dir, *inside, pending);
    fputs("Failed to delete user from auth backend\n", stderr);
    return kErrIllegalUsername;
  }
  {
    FileLock lock;
    dir_control_lock(lock, domain, home->uid, home->gid);
    if (inside) free_dir_return(user, domain, record.dir);
    dir_control_release(domain, home->uid, home->gid);
  }
  if (!inside) {
    fprintf(stderr, "not removing %s: it is not inside the domain directory\n",
            record.dir.c_str());
    return kSuccess;
  }
  if (remove_mailbox_dir(home->dir, *inside, pending) != 0) {
    fprintf(stderr, "could not remove %s\n", record.dir.c_str());
    return kErrChdirStore;
  }
  return kSuccess;
}

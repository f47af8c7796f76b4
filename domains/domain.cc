#include "domains/domain.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/address.h"
#include "base/cwd_guard.h"
#include "base/dir_tree.h"
#include "base/error.h"
#include "base/leftover.h"
#include "base/locked_file.h"
#include "base/send_signal.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"
#include "domains/dir_control.h"
#include "domains/limits.h"

namespace {

// A domain's path, from the home to ".qmail-default", must stay inside the
// 160 characters that the mailbox paths below it are built from.
constexpr size_t kDomainPathLimit = 161;
constexpr size_t kStorePathBuffer = 300;
constexpr size_t kDomainMinLength = 3;
constexpr mode_t kDirMode = 0750;

std::string slot_name(uid_t uid) { return domains_level_name(uid); }

bool has_name_characters(const std::string& name) { return domain_name_ok(name) == 0; }

// Lengths, characters and labels of a new domain's name (already
// lower-cased): a host name's labels, so that no new domain directory can
// look like the store's own hidden work (".NAME.PID").
int check_new_domain_name(const std::string& name) {
  if (name.size() < kDomainMinLength) return kErrInvalidDomain;
  if (name.size() > kDomainNameMax) return kErrDomainTooLong;
  if (new_domain_name_ok(name) != 0) return kErrInvalidDomain;
  return 0;
}

void signal_qmail_send() { hang_up_qmail_send(); }

// Enters the domains directory of the home, making it when missing.
int enter_domains_dir(const std::string& home, uid_t uid, gid_t gid) {
  if (chdir(home.c_str()) != 0) return kErrChdirDomainDir;
  const std::string domains(kDomainsDirName);
  if (chdir(domains.c_str()) == 0) return 0;
  if (mkdir(domains.c_str(), kDirMode) != 0) return kErrMakeDomainsDir;
  if (chown(domains.c_str(), uid, gid) != 0) perror("chown domains");
  if (chdir(domains.c_str()) != 0) return kErrChdirDomains;
  return 0;
}

// The hashed sub-directory for the next domain, recorded at once.
std::string allocate_domain_slot(uid_t uid, gid_t gid) {
  DirControl record;
  dir_control_load(record, slot_name(uid), uid);
  std::string hashed = dir_control_next(record, uid, gid);
  dir_control_save(record, slot_name(uid), uid, gid);
  return hashed;
}

void release_domain_slot(uid_t uid, gid_t gid) { dir_control_release(slot_name(uid), uid, gid); }

// Removes a half-made tree, from the domains directory of the home.
void remove_new_tree(const std::string& home, const std::string& tree, const char* format) {
  if (chdir(store_domains_dir(home).c_str()) != 0 || delete_tree(tree) != 0) {
    fprintf(stderr, format, tree.c_str());
  }
}

bool write_delivery_file() {
  FILE* file = fopen(std::string(kQmailDefaultName).c_str(), "w+");
  if (!file) return false;
  bool written = fputs(delivery_line(kBounceNoMailbox).c_str(), file) >= 0;
  return fclose(file) == 0 && written;
}

// The tree's pending name beside it: the domain is built there and appears
// at its own name only once users/assign holds its entry, so a creation
// that dies half-way never leaves a directory that no entry names (the
// store check finishes or removes a dead creation's pending tree).
std::string pending_tree(const std::string& tree) {
  size_t slash = tree.rfind('/');
  if (slash == std::string::npos) return pending_name_for(tree);
  return tree.substr(0, slash + 1) + pending_name_for(tree.substr(slash + 1));
}

// Steps of a creation once the name is known to be free and the slot is
// allocated; the caller releases the slot when this fails. A qmail tool
// that fails leaves the domain made and sets *compiled to -17.
int build_domain(const std::string& domain, const std::string& home, const std::string& tree,
                 uid_t uid, gid_t gid, int* compiled) {
  const std::string pending = pending_tree(tree);
  struct stat existing;
  // A directory already at the name is someone's: never built over.
  if (lstat(tree.c_str(), &existing) == 0) return kErrMakeDomainDir;
  if (make_path(pending, uid, gid) != 0) return kErrMakeDomainDir;
  if (chdir(pending.c_str()) != 0) {
    delete_tree(pending);
    return kErrChdirDomains;
  }
  if (!write_delivery_file()) {
    remove_new_tree(home, pending, "Failed to delete directory tree :%s\n");
    return kErrQmailDefault;
  }
  std::string dir = store_domains_path(home, tree);
  *compiled = assign_add_domain(domain, domain, dir, uid, gid);
  if (*compiled == -1) {
    remove_new_tree(home, pending, "Failed to delete directory tree: %s\n");
    fprintf(stderr, "Error. Failed to add domain to assign file\n");
    return kErrUpdateFile;
  }
  std::string domains = store_domains_path(home, "");
  if (rename((domains + pending).c_str(), (domains + tree).c_str()) != 0) {
    std::vector<std::string> names{domain};
    remove_control_entries(names);
    assign_remove_domains(names.data(), 1, domain, dir, uid, gid);
    remove_new_tree(home, pending, "Failed to delete directory tree: %s\n");
    return kErrMakeDomainDir;
  }
  return 0;
}

// Creation from the free-name check to the table entries, under the lock.
// *compiled as build_domain sets it.
int create_locked(const DomainName& domain, const std::string& home, uid_t uid, gid_t gid,
                  int* compiled) {
  if (domain_exists(domain)) return kErrDomainExists;
  umask(077);
  CwdGuard cwd;
  if (int result = enter_domains_dir(home, uid, gid); result != 0) return result;
  std::string hashed = allocate_domain_slot(uid, gid);
  std::string tree = hashed.empty() ? domain.str() : hashed + "/" + domain.str();
  if (home.size() + tree.size() + 7 >= kDomainPathLimit) {
    release_domain_slot(uid, gid);
    return kErrDirTooLong;
  }
  if (int result = build_domain(domain, home, tree, uid, gid, compiled); result != 0) {
    release_domain_slot(uid, gid);
    return result;
  }
  r_chown(store_domains_path(home, tree), uid, gid);
  return 0;
}

// The names whose entries point at a real domain: itself and its aliases.
std::vector<std::string> names_of_domain(const DomainName& domain) {
  std::vector<std::string> names;
  AssignEntries entries{domain};
  for (const AssignEntry* entry = entries.next(); entry; entry = entries.next()) {
    names.push_back(entry->name);
  }
  if (names.empty()) {
    fprintf(stderr, "%s\n", last_error != 0 ? error_string(last_error) : "Domain does not exist");
  }
  return names;
}

void remove_domain_directory(const std::string& domain, const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (unlink(dir.c_str()) != 0) {
      fprintf(stderr, "Warning: Failed to remove symlink for %s\n", domain.c_str());
    }
    return;
  }
  CwdGuard cwd;
  if (delete_tree(dir) != 0) {
    fprintf(stderr, "Warning: Failed to delete directory tree: %s\n", domain.c_str());
  }
}

// Everything of a real domain but its table entries, in the order of
// old: for a domain directory that is a link, whose tree is not ours to
// remove.
void remove_domain_files(const DomainName& domain, const std::string& dir, uid_t uid,
                         gid_t gid) {
  delete_domain_limits(domain);
  if (dir_control_delete(domain) != 0) {
    fprintf(stderr, "Warning: Failed to delete dir_control for %s\n", domain.str().c_str());
  }
  remove_domain_directory(domain, dir);
  release_domain_slot(uid, gid);
}

// A real directory is first moved to its pending name beside it, so a
// removal that dies half-way leaves either the whole domain (its entries
// still name it; the store check moves it back) or no domain at all (the
// check finishes the pending tree). Empty when it could not be moved.
std::string move_domain_aside(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "";
  size_t slash = dir.rfind('/');
  std::string pending = dir.substr(0, slash + 1) + pending_name_for(dir.substr(slash + 1));
  return rename(dir.c_str(), pending.c_str()) == 0 ? pending : "";
}

void remove_pending_tree(const std::string& domain, const std::string& pending) {
  CwdGuard cwd;
  if (delete_tree(pending) != 0) {
    fprintf(stderr, "Warning: Failed to delete directory tree: %s\n", domain.c_str());
  }
}

// The names leave users/assign first: once they are gone the domain is
// gone for qmail and the store, and what remains is clean-up. -17 when a
// qmail tool failed on the way (the tables are written all the same).
int remove_from_tables(const std::string& domain, const std::vector<std::string>& names,
                       const std::string& dir, uid_t uid, gid_t gid) {
  int assign = assign_remove_domains(names.data(), static_cast<int>(names.size()), domain, dir,
                                     uid, gid);
  if (assign == -1) fprintf(stderr, "Warning: Failed to delete domain from the assign file\n");
  int control = remove_control_entries(names);
  if (control == -1) {
    fprintf(stderr, "Warning: Failed to delete domain from qmail's control files\n");
  }
  return assign == kErrUpdateFile || control == kErrUpdateFile ? kErrUpdateFile : 0;
}

}  // namespace

std::string delivery_line(std::string_view argument) {
  return "| " + tessera_home() + "/bin/tdelivermail '' " + std::string(argument) + "\n";
}

StoreError create_domain(const DomainName& domain, const std::string& home, uid_t uid,
                         gid_t gid) {
  if (int result = check_new_domain_name(domain); result != 0) return store_code(result);
  FileLock lock;
  if (lock.lock_waiting(domain_table_lock_file(), FileLock::kBusyWait) != 0) return kErrUpdateFile;
  int compiled = 0;
  if (int result = create_locked(domain, home, uid, gid, &compiled); result != 0) return store_code(result);
  lock.unlock();
  signal_qmail_send();
  return store_code(compiled);
}

StoreError delete_domain(const DomainName& name) {
  if (name.size() > kDomainNameMax) return kErrDomainTooLong;
  const std::string& given = name;
  std::string domain = name;  // the real domain's name once found
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
  if (!tget_assign(name, &dir, kStorePathBuffer, &uid, &gid, &domain)) return kErrNoDomain;
  if (given != domain) {
    int compiled = remove_from_tables(domain, {given}, dir, uid, gid);
    signal_qmail_send();
    return store_code(compiled);
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    fprintf(stderr, "Warning: Could not access (%s)\n", dir.c_str());
  }
  std::vector<std::string> names = names_of_domain(name);
  std::string pending = move_domain_aside(dir);
  // Here the name given is the real domain's own.
  if (pending.empty()) remove_domain_files(name, dir, uid, gid);
  int compiled = remove_from_tables(domain, names, dir, uid, gid);
  if (!pending.empty()) {
    // Its limits file and control file go with the tree.
    remove_pending_tree(domain, pending);
    release_domain_slot(uid, gid);
  }
  signal_qmail_send();
  return store_code(compiled);
}

StoreError create_alias_domain(const DomainName& alias, const DomainName& real) {
  if (!has_name_characters(real) || !has_name_characters(alias)) return kErrInvalidDomain;
  // A new name, as create_domain takes it (an empty alias would enter a
  // nameless entry that no lookup can reach).
  if (new_domain_name_ok(alias.str()) != 0) return kErrInvalidDomain;
  if (alias.size() > kDomainNameMax) return kErrDomainTooLong;
  FileLock lock;
  if (lock.lock_waiting(domain_table_lock_file(), FileLock::kBusyWait) != 0) return kErrUpdateFile;
  if (domain_exists(alias)) return kErrDomainExists;
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
  // Named by an alias, the real domain is that alias's.
  std::string real_domain;
  if (!tget_assign(real, &dir, kStorePathBuffer, &uid, &gid, &real_domain)) return kErrNoDomain;
  int compiled = assign_add_domain(alias, real_domain, dir, uid, gid);
  if (compiled == -1) return kErrUpdateFile;
  lock.unlock();
  signal_qmail_send();
  return store_code(compiled);
}

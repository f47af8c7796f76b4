#include "cli/store_identity.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/site.h"

namespace {

// Opened only to change its owner: never a link, never waiting on a fifo.
constexpr int kOwnerOnlyOpen = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool give_failed(const std::string& path, uid_t uid, gid_t gid) {
  fprintf(stderr, "tessera: cannot give %s to %u:%u: %s\n", path.c_str(), unsigned(uid),
          unsigned(gid), strerror(errno));
  return false;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// One directory of qmail's, and the named files in it.
bool hand_dir(const std::string& dir, const std::vector<std::string>& names, uid_t uid,
              gid_t gid) {
  FdGuard dir_fd(open(dir.c_str(), kOwnerOnlyOpen | O_DIRECTORY));
  if (dir_fd.get() < 0) return errno == ENOENT || give_failed(dir, uid, gid);
  if (fchown(dir_fd.get(), uid, gid) != 0) return give_failed(dir, uid, gid);
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    FdGuard fd(openat(dir_fd.get(), name.c_str(), kOwnerOnlyOpen));
    if (fd.get() < 0 && errno == ENOENT) continue;
    struct stat status;
    if (fd.get() < 0 || fstat(fd.get(), &status) != 0) return give_failed(path, uid, gid);
    if (!S_ISREG(status.st_mode)) {
      errno = EINVAL;
      return give_failed(path, uid, gid);
    }
    if (fchown(fd.get(), uid, gid) != 0) return give_failed(path, uid, gid);
  }
  return true;
}

// The tables the store writes, with their lock files, and what qmail's
// tools compile from them.
std::vector<std::string> with_locks(std::vector<std::string> tables,
                                    const std::vector<std::string>& compiled) {
  const size_t count = tables.size();
  for (size_t i = 0; i < count; ++i) tables.push_back(lock_file_path(tables[i]));
  tables.insert(tables.end(), compiled.begin(), compiled.end());
  return tables;
}

bool hand_qmail_tables_to(uid_t uid, gid_t gid) {
  std::vector<std::string> users = with_locks({kAssignName}, {base_name(qmail_users_cdb())});
  users.push_back(base_name(domain_table_lock_file()));
  return hand_dir(qmail_home() + "/users", users, uid, gid) &&
         hand_dir(qmail_control_dir(),
                  with_locks({kRcpthostsName, kMoreRcpthostsName, kVirtualDomainsName, kLocalsName},
                             {std::string(kMoreRcpthostsName) + ".cdb"}),
                  uid, gid);
}

}  // namespace

bool become_store_owner(bool hand_qmail_tables) {
  if (geteuid() != 0) return true;
  const std::string& home = tessera_home();
  struct stat owner;
  if (stat(home.c_str(), &owner) != 0) {
    fprintf(stderr, "tessera: cannot read the owner of %s: %s\n", home.c_str(), strerror(errno));
    return false;
  }
  // A root-owned home (a sandbox's) is root's store: nothing to take.
  if (owner.st_uid == 0) return true;
  if (hand_qmail_tables && !hand_qmail_tables_to(owner.st_uid, owner.st_gid)) return false;
  const gid_t gid = owner.st_gid;
  if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(owner.st_uid) != 0 ||
      getuid() != owner.st_uid || geteuid() != owner.st_uid || getgid() != gid ||
      getegid() != gid) {
    fprintf(stderr, "tessera: cannot become %s's owner %u:%u: %s\n", home.c_str(),
            unsigned(owner.st_uid), unsigned(gid), strerror(errno));
    return false;
  }
  return true;
}

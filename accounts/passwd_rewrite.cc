// Changes to a domain's password file: every change copies tpasswd line by
// line into a private temporary copy under the domain's lock, moves the copy
// over tpasswd and rebuilds the index before the lock is released.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>

#include "accounts/hash_password.h"
#include "accounts/passwd.h"
#include "accounts/passwd_common.h"
#include "base/address.h"
#include "base/error.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/temp_file.h"
#include "cdb/cdb.h"
#include "domains/assign.h"

namespace {

// The rewrite's own two results besides 0.
constexpr int kRewriteFailed = -1;  // a file could not be opened, written or replaced
constexpr int kRewriteBusy = -2;    // the domain's lock could not be had

struct CloseFile {
  void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, CloseFile>;

// What a change does to each line of the file (given without its "\n"),
// writing through put; a non-zero result stops the change with that code
// and leaves tpasswd as it was. at_end runs after the last line.
using PutLine = std::function<void(std::string_view line)>;
using EditLine = std::function<int(std::string_view line, const PutLine& put)>;
using EndEdit = std::function<void(const PutLine& put)>;

// The text before a line's first ":", which the line is known by.
std::string_view line_key(std::string_view line) { return line.substr(0, line.find(':')); }

// tpasswd for reading. A missing file reads as empty (the first change
// creates it); a file that exists but cannot be read fails the change
// rather than being replaced by an empty one.
// The file is read only when it is a plain file at its own name: a link
// planted there would copy another file into the new tpasswd.
bool open_text(const std::string& path, FilePtr& in) {
  in.reset(fopen_regular(path, false));
  return in != nullptr || errno == ENOENT;
}

// Copies tpasswd through edit into the temporary copy and moves the copy
// over tpasswd. Every line written ends with "\n", so a line can never run
// into the one written after it.
int write_new_copy(const passwd_file_paths& paths, const std::optional<DomainHome>& home,
                   const EditLine& edit, const EndEdit& at_end) {
  // The copy becomes tpasswd with its crypted passwords: it is created
  // 0600 and held there whatever the umask. It is the domain's user's,
  // given while still private (a process that may not give it keeps it).
  TempFile temp(paths.temp);
  FilePtr in;
  if (!temp.create(0600) || (home && !temp.give_owner(home->uid, home->gid, false)) ||
      !temp.set_mode(0600) || !open_text(paths.text, in)) {
    return kRewriteFailed;
  }
  PutLine put = [&temp](std::string_view line) { temp.out().put(line); };
  if (in != nullptr) {
    LineInput input(in.get());
    std::string_view line;
    bool ended = false;
    while (input.next(line, ended)) {
      if (int result = edit(line, put); result != 0) return result;
    }
    if (input.failed()) return kRewriteFailed;
  }
  if (at_end) at_end(put);
  return temp.replace(paths.text) == 0 ? 0 : kRewriteFailed;
}

// The shared frame of add, delete and update. The index is rebuilt while
// the lock is still held; a failed rebuild leaves the previous index, and
// the next change catches it up, so the change itself still stands.
int rewrite_password_file(std::string& domain, const EditLine& edit, const EndEdit& at_end = {}) {
  passwd_paths(domain);
  const passwd_file_paths paths = passwd_current_paths();
  if (paths.text.empty()) return kRewriteFailed;
  FileLock lock;
  if (lock.lock_waiting(paths.lock, FileLock::kBusyWait) != 0) return kRewriteBusy;
  std::optional<DomainHome> home = find_domain_home(domain);
  if (home) lock.give_owner(home->uid, home->gid);
  if (int result = write_new_copy(paths, home, edit, at_end); result != 0) return result;
  passwd_rebuild(domain);
  return 0;
}

void remove_colons(std::string& text) { std::erase(text, ':'); }

// A line holding "\n" would become two lines of the file.
bool is_one_line(std::string_view line) { return line.find('\n') == std::string_view::npos; }

// The new mailbox's directory: the domain's directory (the store's home
// when the table does not know the domain, its users directory for the
// domain-less store), the hashed sub-directory if any, the user name.
std::string mailbox_dir(const std::string& domain, const std::string& subdir,
                        const std::string& user) {
  std::optional<DomainHome> home = find_domain_home(domain);
  std::string dir = home ? home->dir : tessera_home();
  if (domain.empty()) dir += "/users";
  if (!subdir.empty()) dir += "/" + subdir;
  return dir + "/" + user;
}

std::string format_line(const password_record& r) {
  return r.name + ":" + r.password + ":" + std::to_string(r.uid) + ":" + std::to_string(r.gid) +
         ":" + r.gecos + ":" + r.dir + ":" + r.quota;
}

}  // namespace

int passwd_add(const std::string& user, std::string& domain, const std::string& clear_password,
               std::string& gecos, const std::string& subdir) {
  if (user == "tpasswd") return kErrIllegalUsername;
  // A name with ":" could never be found again by its key.
  if (user.empty() || user.find(':') != std::string::npos) return kErrIllegalUsername;
  if (gecos.empty()) gecos = user;
  remove_colons(gecos);
  std::string hashed;
  if (!clear_password.empty() && hash_password(clear_password, hashed) != 0) return kErrCrypt;
  apply_default_domain(domain);
  std::string added = user + ":" + hashed + ":1:0:" + gecos + ":" +
                      mailbox_dir(domain, subdir, user) + ":NOQUOTA";
  if (!is_one_line(added)) return kErrIllegalUsername;

  // The name is checked again under the lock: two processes adding the same
  // new mailbox at once both passed their callers' checks.
  bool placed = false;
  auto edit = [&](std::string_view line, const PutLine& put) -> int {
    std::string_view key = line_key(line);
    if (key == user) return kErrUsernameExists;
    if (!placed && key > user) put(added), placed = true;
    put(line);
    return 0;
  };
  auto at_end = [&](const PutLine& put) {
    if (!placed) put(added);
  };
  return rewrite_password_file(domain, edit, at_end);
}

int passwd_delete(const std::string& user, std::string& domain) {
  return rewrite_password_file(domain, [&](std::string_view line, const PutLine& put) {
    if (line_key(line) != user) put(line);
    return 0;
  });
}

int passwd_update(password_record& record, std::string& domain) {
  if (int result = passwd_check(&record, &domain); result != 0) return result;
  apply_default_domain(domain);
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!may_use_domain(home ? home->uid : 0)) return kErrBadUid;
  remove_colons(record.gecos);
  // The eighth field is never written: an update drops it.
  std::string changed = format_line(record);
  if (!is_one_line(changed)) return kErrIllegalUsername;
  return rewrite_password_file(domain, [&](std::string_view line, const PutLine& put) {
    put(line_key(line) == record.name ? std::string_view(changed) : line);
    return 0;
  });
}

int passwd_rebuild(const std::string& domain) {
  std::string name = domain;
  passwd_paths(name);
  const passwd_file_paths paths = passwd_current_paths();
  if (paths.text.empty()) return -1;
  FilePtr in(fopen_regular(paths.text, false));
  if (in == nullptr) return -1;
  LineInput input(in.get());
  // Key: the text before the first ":"; value: the rest of the line. A last
  // line without its "\n" may still be being written by hand: not indexed.
  // A line without any ":" is no record and is passed over.
  cdb_source source = [&input](std::string_view& key, std::string_view& value) {
    std::string_view line;
    bool ended = false;
    while (input.next(line, ended) && ended) {
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      key = line.substr(0, colon);
      value = line.substr(colon + 1);
      return 1;
    }
    return input.failed() ? -1 : 0;
  };
  if (cdb_build(source, paths.index_temp, paths.index) != 0) return -1;
  if (std::optional<DomainHome> home = find_domain_home(name)) {
    // The index is written by the database builder, which gives no owner:
    // lchown, so a link planted at its name never hands its target to the
    // domain's user. tpasswd and its lock were given theirs on their
    // descriptors. A failure is left for the next rebuild.
    [[maybe_unused]] int ignored = lchown(paths.index.c_str(), home->uid, home->gid);
  }
  return 0;
}

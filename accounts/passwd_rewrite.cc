// Changes to a domain's password file: every change reads tpasswd whole
// under the domain's lock, makes the new text in memory, writes it into a
// private temporary copy, syncs it and moves it over tpasswd, then builds
// the index from the same text before the lock is released.
//
// The file is read once and the index is built from the text just written:
// at a hundred thousand mailboxes the copy and the index are the whole cost
// of a change, and reading the file a second time (or passing it line by
// line through a buffered stream) would double it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>

#include "accounts/hash_password.h"
#include "accounts/passwd.h"
#include "accounts/passwd_common.h"
#include "base/address.h"
#include "base/error.h"
#include "base/fd_guard.h"
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

// Makes the new text of tpasswd from the old one. A non-zero result stops
// the change with that code and leaves tpasswd as it was.
using EditText = std::function<int(std::string_view old_text, std::string& new_text)>;

// The text before a line's first ":", which the line is known by.
std::string_view line_key(std::string_view line) { return line.substr(0, line.find(':')); }

// Hands out the lines of a text one by one, each without its "\n"; ended
// tells whether it had one (only a last line may lack it).
class TextLines {
 public:
  explicit TextLines(std::string_view text) : rest_(text) {}
  bool next(std::string_view& line, bool& ended) {
    if (rest_.empty()) return false;
    const void* found = memchr(rest_.data(), '\n', rest_.size());
    size_t length = found ? static_cast<size_t>(static_cast<const char*>(found) - rest_.data())
                          : rest_.size();
    line = rest_.substr(0, length);
    ended = found != nullptr;
    rest_.remove_prefix(ended ? length + 1 : length);
    return true;
  }

 private:
  std::string_view rest_;
};

// Appends a line and its "\n": every line a change writes ends with one,
// so a line can never run into the one written after it.
void put_line(std::string& text, std::string_view line) {
  text.append(line);
  text.push_back('\n');
}

// The whole of tpasswd; false when it cannot be read, missing telling
// whether it is simply not there. The file is read only when it is a plain
// file at its own name: a link planted there would copy another file into
// the new tpasswd.
bool read_text(const std::string& path, std::string& text, bool& missing) {
  text.clear();
  int fd = open_regular(path, false);
  missing = fd < 0 && errno == ENOENT;
  if (fd < 0) return false;
  FdGuard file(fd);
  struct stat status;
  if (fstat(fd, &status) == 0 && status.st_size > 0) {
    text.reserve(static_cast<size_t>(status.st_size) + 1);
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text.append(buffer, static_cast<size_t>(got));
  }
}

// The new text into the temporary copy, synced, moved over tpasswd.
int write_new_copy(const passwd_file_paths& paths, const std::optional<DomainHome>& home,
                   std::string_view text) {
  // The copy becomes tpasswd with its crypted passwords: it is created
  // 0600 and held there whatever the umask. It is the domain's user's,
  // given while still private (a process that may not give it keeps it).
  TempFile temp(paths.temp);
  if (!temp.create(0600) || (home && !temp.give_owner(home->uid, home->gid, false)) ||
      !temp.set_mode(0600)) {
    return kRewriteFailed;
  }
  temp.out().write(text);
  return temp.replace(paths.text) == 0 ? 0 : kRewriteFailed;
}

// The index of a password file's text: key the text before the first ":",
// value the rest of the line. A last line without its "\n" may still be
// being written by hand: not indexed. A line without any ":" is no record
// and is passed over. 0, or -1 (the previous index stays).
int build_index(const passwd_file_paths& paths, const std::string& domain, std::string_view text) {
  TextLines lines(text);
  cdb_source source = [&lines](std::string_view& key, std::string_view& value) {
    std::string_view line;
    bool ended = false;
    while (lines.next(line, ended) && ended) {
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      key = line.substr(0, colon);
      value = line.substr(colon + 1);
      return 1;
    }
    return 0;
  };
  if (cdb_build(source, paths.index_temp, paths.index) != 0) return -1;
  std::string name = domain;
  if (std::optional<DomainHome> home = find_domain_home(name)) {
    // The index is written by the database builder, which gives no owner:
    // lchown, so a link planted at its name never hands its target to the
    // domain's user. tpasswd and its lock were given theirs on their
    // descriptors. A failure is left for the next rebuild.
    [[maybe_unused]] int ignored = lchown(paths.index.c_str(), home->uid, home->gid);
  }
  return 0;
}

// The shared frame of every change. The index is rebuilt while the lock is
// still held; a failed rebuild leaves the previous index, and the next
// change catches it up, so the change itself still stands.
int rewrite_password_file(std::string& domain, const EditText& edit) {
  passwd_paths(domain);
  const passwd_file_paths paths = passwd_current_paths();
  if (paths.text.empty()) return kRewriteFailed;
  FileLock lock;
  if (lock.lock_waiting(paths.lock, FileLock::kBusyWait) != 0) return kRewriteBusy;
  std::optional<DomainHome> home = find_domain_home(domain);
  if (home) lock.give_owner(home->uid, home->gid);
  // A missing file reads as empty (the first change creates it); a file
  // that exists but cannot be read fails the change rather than being
  // replaced by an empty one.
  std::string old_text, new_text;
  bool missing = false;
  if (!read_text(paths.text, old_text, missing) && !missing) return kRewriteFailed;
  new_text.reserve(old_text.size() + 4096);
  if (int result = edit(old_text, new_text); result != 0) return result;
  old_text = std::string();  // half the memory back before the index is built
  if (int result = write_new_copy(paths, home, new_text); result != 0) return result;
  build_index(paths, domain, new_text);
  return 0;
}

// A rewrite that passes each line (without its "\n") to edit, which
// writes what the line becomes.
int rewrite_lines(std::string& domain,
                  const std::function<void(std::string_view line, std::string& out)>& edit) {
  return rewrite_password_file(domain, [&](std::string_view old_text, std::string& out) {
    TextLines lines(old_text);
    std::string_view line;
    bool ended = false;
    while (lines.next(line, ended)) edit(line, out);
    return 0;
  });
}

void remove_colons(std::string& text) { std::erase(text, ':'); }

// A line holding "\n" would become two lines of the file.
bool is_one_line(std::string_view line) { return line.find('\n') == std::string_view::npos; }

// The new mailbox's directory: the domain's directory (the store's home
// when the table does not know the domain, its users directory for the
// domain-less store), the hashed sub-directory if any, the user name.
std::string mailbox_dir(const std::optional<DomainHome>& home, const std::string& domain,
                        const std::string& subdir, const std::string& user) {
  std::string dir = home ? home->dir : tessera_home();
  if (domain.empty()) dir += "/users";
  if (!subdir.empty()) dir += "/" + subdir;
  return dir + "/" + user;
}

std::string format_line(const password_record& r) {
  return r.name + ":" + r.password + ":" + std::to_string(r.uid) + ":" + std::to_string(r.gid) +
         ":" + r.gecos + ":" + r.dir + ":" + r.quota;
}

// The whole new line of one account, or its refusal: -1 for a name that
// could never be found again by its key (empty, "tpasswd", holding ":")
// or a line that would hold "\n", -18 when the password cannot be crypted.
int make_new_line(passwd_new_line& added, const std::optional<DomainHome>& home,
                  const std::string& domain, std::string& line) {
  const std::string& user = added.user;
  if (user == "tpasswd") return kErrIllegalUsername;
  if (user.empty() || user.find(':') != std::string::npos) return kErrIllegalUsername;
  if (added.gecos.empty()) added.gecos = user;
  remove_colons(added.gecos);
  std::string hashed;
  if (!added.clear_password.empty() && hash_password(added.clear_password, hashed) != 0) {
    return kErrCrypt;
  }
  line = user + ":" + hashed + ":1:0:" + added.gecos + ":" +
         mailbox_dir(home, domain, added.subdir, user) + ":" + added.quota;
  return is_one_line(line) ? 0 : kErrIllegalUsername;
}

// The new lines that may go in, in name order, each with its account.
struct Insertion {
  std::string line;
  passwd_new_line* account;
};

// Merges the insertions into the old text: each goes just before the first
// line whose key compares greater than its name, or at the end. A name
// that already has a line anywhere in the file (checked under the lock:
// two processes adding the same new mailbox both passed their callers'
// checks) is not added and gets -2. Nothing left to add: -2, no change.
int merge_new_lines(std::vector<Insertion>& insertions, std::string_view old_text,
                    std::string& out) {
  auto by_name = [](const Insertion& a, std::string_view name) { return a.account->user < name; };
  TextLines scan(old_text);
  std::string_view line;
  bool ended = false;
  while (scan.next(line, ended)) {
    std::string_view key = line_key(line);
    auto found = std::lower_bound(insertions.begin(), insertions.end(), key, by_name);
    if (found != insertions.end() && found->account->user == key) {
      found->account->result = kErrUsernameExists;
    }
  }
  std::erase_if(insertions, [](const Insertion& i) { return i.account->result != 0; });
  if (insertions.empty()) return kErrUsernameExists;
  auto next = insertions.begin();
  TextLines lines(old_text);
  while (lines.next(line, ended)) {
    std::string_view key = line_key(line);
    for (; next != insertions.end() && key > next->account->user; ++next) {
      put_line(out, next->line);
    }
    put_line(out, line);
  }
  for (; next != insertions.end(); ++next) put_line(out, next->line);
  return 0;
}

}  // namespace

int passwd_add_many(std::string& domain, std::vector<passwd_new_line>& accounts) {
  apply_default_domain(domain);
  std::optional<DomainHome> home = find_domain_home(domain);
  std::vector<Insertion> insertions;
  for (passwd_new_line& account : accounts) {
    std::string line;
    account.result = make_new_line(account, home, domain, line);
    if (account.result == 0) insertions.push_back({std::move(line), &account});
  }
  // A name given twice goes in once, with its first line.
  std::stable_sort(insertions.begin(), insertions.end(), [](const Insertion& a, const Insertion& b) {
    return a.account->user < b.account->user;
  });
  for (size_t i = 1; i < insertions.size(); ++i) {
    if (insertions[i].account->user == insertions[i - 1].account->user) {
      insertions[i].account->result = kErrUsernameExists;
    }
  }
  std::erase_if(insertions, [](const Insertion& i) { return i.account->result != 0; });
  if (insertions.empty()) return 0;
  int result = rewrite_password_file(domain, [&](std::string_view old_text, std::string& out) {
    return merge_new_lines(insertions, old_text, out);
  });
  if (result == kErrUsernameExists) return 0;  // each account holds its own result
  if (result != 0) {
    for (Insertion& insertion : insertions) insertion.account->result = result;
  }
  return result;
}

int passwd_add(const std::string& user, std::string& domain, const std::string& clear_password,
               std::string& gecos, const std::string& subdir) {
  std::vector<passwd_new_line> one(1);
  one[0].user = user;
  one[0].clear_password = clear_password;
  one[0].gecos = gecos;
  one[0].subdir = subdir;
  passwd_add_many(domain, one);
  gecos = one[0].gecos;
  return one[0].result;
}

int passwd_delete(const std::string& user, std::string& domain) {
  return rewrite_lines(domain, [&](std::string_view line, std::string& out) {
    if (line_key(line) != user) put_line(out, line);
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
  return rewrite_lines(domain, [&](std::string_view line, std::string& out) {
    put_line(out, line_key(line) == record.name ? std::string_view(changed) : line);
  });
}

int passwd_rebuild(const std::string& domain) {
  std::string name = domain;
  passwd_paths(name);
  const passwd_file_paths paths = passwd_current_paths();
  if (paths.text.empty()) return -1;
  std::string text;
  bool missing = false;
  if (!read_text(paths.text, text, missing)) return -1;
  return build_index(paths, name, text);
}

// Changes to a domain's password file: every change passes tpasswd line by
// line into a private temporary copy under the domain's lock, syncs the
// copy and moves it over tpasswd, then rebuilds the index from the new file
// before the lock is released.
//
// At a hundred thousand mailboxes the copy and the index are the whole cost
// of a change: the file goes through one reused buffer in large reads and
// the copy is written in large blocks, so neither side pays per line for a
// stream or touches fresh memory for the whole file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string_view>

#include "accounts/hash_password.h"
#include "accounts/passwd.h"
#include "accounts/passwd_common.h"
#include "base/chunk_lines.h"
#include "base/address.h"
#include "base/error.h"
#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "cdb/cdb.h"
#include "domains/assign.h"

namespace {

// The rewrite's own two results besides 0.
constexpr int kRewriteFailed = -1;  // a file could not be opened, written or replaced
constexpr int kRewriteBusy = -2;    // the domain's lock could not be had
// A batch of new lines found a name already present after one of them was
// written: the change is made again without it.
constexpr int kRewriteAgain = 1;
// A single new line found its name present: nothing changed, and the
// account holds -2.
constexpr int kNameTaken = 2;

// Lines on their way into the temporary copy, collected into large blocks.
// Every line written ends with "\n", so a line can never run into the one
// written after it.
class LineSink {
 public:
  explicit LineSink(LineWriter& out) : out_(out) { block_.reserve(kBlock + 512); }
  void put(std::string_view line) {
    block_.append(line);
    block_.push_back('\n');
    if (block_.size() >= kBlock) flush();
  }
  void flush() {
    out_.write(block_);
    block_.clear();
  }

 private:
  static constexpr size_t kBlock = size_t{1} << 18;
  LineWriter& out_;
  std::string block_;
};

// What a change does to each line of the file (given without its "\n"),
// writing through the sink; a non-zero result stops the change with that
// code and leaves tpasswd as it was. at_end runs after the last line.
using EditLine = std::function<int(std::string_view line, LineSink& out)>;
using EndEdit = std::function<void(LineSink& out)>;

// The text before a line's first ":", which the line is known by.
std::string_view line_key(std::string_view line) { return line.substr(0, line.find(':')); }

// tpasswd for reading: -1 with errno when it cannot be opened. The file is
// read only when it is a plain file at its own name: a link planted there
// would copy another file into the new tpasswd.
int open_text(const std::string& path) { return open_regular(path, false); }

// Copies tpasswd through edit into the temporary copy and moves the copy
// over tpasswd.
int write_new_copy(const passwd_file_paths& paths, const std::optional<DomainHome>& home,
                   const EditLine& edit, const EndEdit& at_end) {
  // A missing file reads as empty (the first change creates it); a file
  // that exists but cannot be read fails the change rather than being
  // replaced by an empty one.
  FdGuard in(open_text(paths.text));
  if (in.get() < 0 && errno != ENOENT) return kRewriteFailed;
  // The copy becomes tpasswd with its crypted passwords: it is created
  // 0600 and held there whatever the umask. It is the domain's user's,
  // given while still private (a process that may not give it keeps it).
  TempFile temp(paths.temp);
  if (!temp.create(0600) || (home && !temp.give_owner(home->uid, home->gid, false)) ||
      !temp.set_mode(0600)) {
    return kRewriteFailed;
  }
  LineSink out(temp.out());
  if (in.get() >= 0) {
    ChunkLines lines(in.get());
    std::string_view line;
    bool ended = false;
    while (lines.next(line, ended)) {
      if (int result = edit(line, out); result != 0) return result;
    }
    if (lines.failed()) return kRewriteFailed;
  }
  if (at_end) at_end(out);
  out.flush();
  return temp.replace(paths.text) == 0 ? 0 : kRewriteFailed;
}

// The shared frame of every change. The index is rebuilt while the lock is
// still held; a failed rebuild leaves the previous index, and the next
// change catches it up, so the change itself still stands.
int rewrite_password_file(const DomainName& given_domain, const EditLine& edit,
                          const EndEdit& at_end = {}) {
  const DomainName domain = with_default_domain(given_domain);
  const passwd_file_paths paths = passwd_paths_of(domain);
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
std::string mailbox_dir(const std::optional<DomainHome>& home, const DomainName& domain,
                        const std::string& subdir, const std::string& user) {
  std::string dir = home ? home->dir : tessera_home();
  if (domain.empty()) dir = store_users_dir(dir);
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
                  const DomainName& domain, std::string& line) {
  const std::string& user = added.user;
  if (user == kPasswdFileName) return kErrIllegalUsername;
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

// A new line on its way in, with its account.
struct Insertion {
  std::string line;
  passwd_new_line* account;
};

// One pass of a batch: each new line goes just before the first line whose
// key compares greater than its name, or at the end. A name that already
// has a line (checked under the lock: two processes adding the same new
// mailbox both passed their callers' checks) is not added and gets -2;
// when its line had been written already, the pass is made again without
// it. Nothing left to add: -2, no change.
int merge_new_lines(const DomainName& domain, std::vector<Insertion>& insertions) {
  size_t next = 0;
  auto edit = [&](std::string_view line, LineSink& out) -> int {
    std::string_view key = line_key(line);
    auto by_name = [](const Insertion& a, std::string_view name) {
      return a.account->user < name;
    };
    auto found = std::lower_bound(insertions.begin(), insertions.end(), key, by_name);
    if (found != insertions.end() && found->account->user == key) {
      bool written = static_cast<size_t>(found - insertions.begin()) < next &&
                     found->account->result == 0;
      found->account->result = kErrUsernameExists;
      if (written) return kRewriteAgain;
    }
    for (; next < insertions.size() && key > insertions[next].account->user; ++next) {
      if (insertions[next].account->result == 0) out.put(insertions[next].line);
    }
    out.put(line);
    return 0;
  };
  auto at_end = [&](LineSink& out) {
    for (; next < insertions.size(); ++next) {
      if (insertions[next].account->result == 0) out.put(insertions[next].line);
    }
  };
  // A single new line whose name is found stops the change at once.
  if (insertions.size() == 1) {
    return rewrite_password_file(domain, [&](std::string_view line, LineSink& out) -> int {
      if (line_key(line) == insertions[0].account->user) {
        insertions[0].account->result = kErrUsernameExists;
        return kNameTaken;
      }
      return edit(line, out);
    }, at_end);
  }
  return rewrite_password_file(domain, edit, at_end);
}

}  // namespace

StoreError passwd_add_many(const DomainName& given_domain, std::vector<passwd_new_line>& accounts) {
  const DomainName domain = with_default_domain(given_domain);
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
  for (;;) {
    std::erase_if(insertions, [](const Insertion& i) { return i.account->result != 0; });
    if (insertions.empty()) return kSuccess;
    int result = merge_new_lines(domain, insertions);
    if (result == kRewriteAgain) continue;
    if (result == kNameTaken) return kSuccess;
    if (result != 0) {
      for (Insertion& insertion : insertions) insertion.account->result = result;
    }
    return store_code(result);
  }
}

StoreError passwd_add(const std::string& user, const DomainName& domain,
                      const std::string& clear_password, std::string& gecos,
                      const std::string& subdir) {
  std::vector<passwd_new_line> one(1);
  one[0].user = user;
  one[0].clear_password = clear_password;
  one[0].gecos = gecos;
  one[0].subdir = subdir;
  passwd_add_many(domain, one);
  gecos = one[0].gecos;
  return store_code(one[0].result);
}

StoreError passwd_delete(const std::string& user, const DomainName& domain) {
  return store_code(rewrite_password_file(domain, [&](std::string_view line, LineSink& out) {
    if (line_key(line) != user) out.put(line);
    return 0;
  }));
}

StoreError passwd_update(password_record& record, const DomainName& given_domain) {
  if (int result = passwd_check(&record, &given_domain); result != 0) return store_code(result);
  const DomainName domain = with_default_domain(given_domain);
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!may_use_domain(home ? home->uid : 0)) return kErrBadUid;
  remove_colons(record.gecos);
  // The eighth field is never written: an update drops it.
  std::string changed = format_line(record);
  if (!is_one_line(changed)) return kErrIllegalUsername;
  return store_code(rewrite_password_file(domain, [&](std::string_view line, LineSink& out) {
    out.put(line_key(line) == record.name ? std::string_view(changed) : line);
    return 0;
  }));
}

StoreError passwd_rebuild(const DomainName& domain) {
  const DomainName name = with_default_domain(domain);
  const passwd_file_paths paths = passwd_paths_of(name);
  if (paths.text.empty()) return kErrFailed;
  FdGuard in(open_text(paths.text));
  if (in.get() < 0) return kErrFailed;
  ChunkLines lines(in.get());
  // Key: the text before the first ":"; value: the rest of the line. A last
  // line without its "\n" may still be being written by hand: not indexed.
  // A line without any ":" is no record and is passed over.
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
    return lines.failed() ? -1 : 0;
  };
  if (cdb_build(source, paths.index_temp, paths.index) != 0) return kErrFailed;
  if (std::optional<DomainHome> home = find_domain_home(name)) {
    // The index is written by the database builder, which gives no owner:
    // lchown, so a link planted at its name never hands its target to the
    // domain's user. tpasswd and its lock were given theirs on their
    // descriptors. A failure is left for the next rebuild.
    [[maybe_unused]] int ignored = lchown(paths.index.c_str(), home->uid, home->gid);
  }
  return kSuccess;
}

// tessera check [--repair]: reads the whole store and names, one line each,
// whatever does not agree; --repair mends what is derived or left over and
// leaves to a person what only a person can decide.
//
// A finding prints as "PATH: PROBLEM"; under --repair ": repaired",
// ": not repaired" (the repair failed) or ": needs a person" follows. After
// repairing, the store is read again (a repair can bring to light what it
// hid, such as the files of a domain directory moved back), at most three
// rounds; the status is 0 only when the last reading found nothing, and
// then the last line says "store consistent". qmail's tools that cannot run
// are findings too, for a person: nothing here can install them.
//
// Repairs take the writers' own locks: the store-wide domain-table lock for
// qmail's tables and the domains' directories, the domain's password-file
// lock for its password file, index and mailboxes, the directory-control
// lock for a count, and a table's lock file for its leftovers.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "accounts/dot_qmail.h"
#include "accounts/passwd.h"
#include "accounts/routing.h"
#include "base/dir_tree.h"
#include "base/leftover.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "base/whole_file.h"
#include "cdb/cdb.h"
#include "cli/command.h"
#include "cli/json.h"
#include "domains/assign.h"
#include "domains/dir_control.h"

namespace {

constexpr int kHashedLevels = 3;
constexpr int kRounds = 3;
constexpr const char* kAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

struct Finding {
  std::string path;
  std::string problem;
  std::function<bool()> repair;  // none: it needs a person
  std::string line() const { return path + ": " + problem; }
};
using Findings = std::vector<Finding>;

// ---- small file helpers ------------------------------------------------

// The check reads each file whole, however large, as the store holds it.
bool read_text(const std::string& path, std::string& text) {
  return read_whole_file(path, text, kWholeFileNoLimit);
}

struct Entry {
  std::string name;
  bool dir = false;
};

std::vector<Entry> entries_of(const std::string& dir) {
  std::vector<Entry> entries;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
  if (!listing) return entries;
  while (dirent* e = readdir(listing.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    bool is_dir = lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    entries.push_back({name, is_dir});
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_hashed_name(const std::string& name) {
  return name.size() == 1 && std::string_view(kAlphabet).find(name[0]) != std::string::npos;
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string base_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A stale writer's pending directory for path (".NAME.PID" beside it). A
// directory that `named` holds is a live domain's or mailbox's, whatever its
// name looks like, and never taken for one.
std::optional<std::string> stale_pending_for(const std::string& path,
                                             const std::set<std::string>& named) {
  std::string parent = parent_of(path);
  for (const Entry& e : entries_of(parent)) {
    std::optional<PendingName> pending = pending_target(e.name);
    std::string full = parent + "/" + e.name;
    if (e.dir && pending && pending->name == base_of(path) && !named.count(full) &&
        writer_is_gone(full, pending->pid)) {
      return full;
    }
  }
  return std::nullopt;
}

// ---- the store as read -------------------------------------------------

struct Store {
  std::vector<AssignEntry> entries;
  std::map<std::string, AssignEntry> by_name;
  std::vector<AssignEntry> real_domains;
};

Store read_store() {
  Store store;
  const DomainName all;
  AssignEntries entries(all);
  for (const AssignEntry* e = entries.next(); e; e = entries.next()) {
    store.entries.push_back(*e);
    store.by_name[e->name] = *e;
    if (e->name == e->real_domain) store.real_domains.push_back(*e);
  }
  return store;
}

// Repairs that hold a lock over their whole step.
bool under_lock(const std::string& lock_path, const std::function<bool()>& step) {
  FileLock lock;
  if (lock.lock_waiting(lock_path, FileLock::kBusyWait) != 0) return false;
  return step();
}

bool under_table_lock(const std::function<bool()>& step) {
  return under_lock(domain_table_lock_file(), step);
}

// Moves a dead writer's pending directory back to the name that still
// names it (a creation whose entry or line was written, or a removal whose
// entry or line was not yet gone), unless the pending name is now named
// itself (read afresh by `unnamed`).
std::function<bool()> move_back(const std::string& pending, const std::string& path,
                                const std::function<bool(const std::string&)>& unnamed) {
  return [pending, path, unnamed] {
    return !is_directory(path) && unnamed(pending) && rename(pending.c_str(), path.c_str()) == 0;
  };
}

// A dead writer's pending directory that nothing names: a creation that
// never got its entry or line, or a removal past it.
std::function<bool()> remove_pending(const std::string& path,
                                     const std::function<bool()>& still_unnamed) {
  return [path, still_unnamed] {
    if (!still_unnamed()) return false;
    int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool removed = delete_tree(path) == 0;
    if (cwd >= 0) {
      if (fchdir(cwd) != 0) removed = false;
      close(cwd);
    }
    return removed;
  };
}

// ---- leftovers of private copies ----------------------------------------

// Private copies TARGET.PID of the targets in dir, and the plain temporary
// names of the cdb writers (older than a minute: they carry no pid).
void check_copies(const std::string& dir, const std::vector<std::string>& targets,
                  const std::vector<std::string>& unnamed, const std::string& lock_path,
                  Findings& out) {
  for (const Entry& e : entries_of(dir)) {
    if (e.dir) continue;
    std::string path = dir + "/" + e.name;
    bool stale = false;
    for (const std::string& target : targets) {
      std::optional<pid_t> pid = copy_pid(e.name, target);
      if (pid && writer_is_gone(path, *pid)) stale = true;
    }
    if (std::find(unnamed.begin(), unnamed.end(), e.name) != unnamed.end()) {
      stale = writer_is_gone(path, getpid());  // the age rule alone
    }
    if (!stale) continue;
    auto remove = [path] { return unlink(path.c_str()) == 0; };
    out.push_back({path, "leftover of a killed writer",
                   lock_path.empty() ? std::function<bool()>(remove)
                                     : [lock_path, remove] { return under_lock(lock_path, remove); }});
  }
}

// ---- qmail's tables ------------------------------------------------------

// The NUL-ended fields of a users/cdb value.
std::vector<std::string> nul_fields(std::string_view value) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = value.find('\0', start)) != std::string_view::npos; start = end + 1) {
    fields.emplace_back(value.substr(start, end - start));
  }
  return fields;
}

bool entry_matches(const AssignEntry& e, const std::vector<std::string>& fields) {
  return fields.size() >= 4 && fields[0] == e.real_domain &&
         fields[1] == std::to_string(e.uid) && fields[2] == std::to_string(e.gid) &&
         fields[3] == e.dir;
}

// Whether the file at `a` was last changed before the one at `b`.
bool older_than(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  if (sa.st_mtim.tv_sec != sb.st_mtim.tv_sec) return sa.st_mtim.tv_sec < sb.st_mtim.tv_sec;
  return sa.st_mtim.tv_nsec < sb.st_mtim.tv_nsec;
}

void check_users_cdb(const Store& store, Findings& out) {
  const std::string path = qmail_users_cdb();
  auto newu = [] { return under_table_lock([] { return run_qmail_newu() == 0; }); };
  const size_t found_before = out.size();
  std::map<std::string, std::vector<std::string>> compiled;
  bool readable = cdb_file_records(path, [&](std::string_view key, std::string_view value) {
                    if (key.size() > 2 && key.front() == '!' && key.back() == '-') {
                      compiled.emplace(std::string(key.substr(1, key.size() - 2)),
                                       nul_fields(value));
                    }
                    return true;
                  }) == 0;
  if (!readable) {
    if (!store.entries.empty()) out.push_back({path, "cannot be read", newu});
    return;
  }
  for (const AssignEntry& e : store.entries) {
    auto found = compiled.find(e.name);
    if (found == compiled.end()) {
      out.push_back({path, e.name + " is in users/assign but not compiled", newu});
    } else if (!entry_matches(e, found->second)) {
      out.push_back({path, e.name + " differs from its users/assign entry", newu});
    }
  }
  for (const auto& [name, fields] : compiled) {
    if (!store.by_name.count(name)) {
      out.push_back({path, name + " is compiled but not in users/assign", newu});
    }
  }
  // qmail-newu runs after every change of users/assign: a database older
  // than its table missed a compile (a failed tool), even where the entries
  // read here agree (qmail-newu compiles lines this check does not read).
  if (out.size() == found_before && older_than(path, qmail_assign_file())) {
    out.push_back({path, "is older than users/assign", newu});
  }
}

std::set<std::string> table_lines(const std::string& path) {
  std::string text;
  std::set<std::string> lines;
  if (!read_text(path, text)) return lines;
  for (std::string& line : split_lines(text)) lines.insert(std::move(line));
  return lines;
}

void check_control_files(const Store& store, Findings& out) {
  const std::string rcpthosts = qmail_rcpthosts_file();
  const std::string more = qmail_morercpthosts_file();
  const std::string virtualdomains = qmail_virtualdomains_file();
  std::set<std::string> hosts = table_lines(rcpthosts);
  std::set<std::string> more_hosts = table_lines(more);
  std::set<std::string> virtuals = table_lines(virtualdomains);
  for (const AssignEntry& e : store.entries) {
    const std::string name = e.name;
    if (!hosts.count(name) && !more_hosts.count(name)) {
      out.push_back({rcpthosts, name + " is assigned but in neither rcpthosts nor morercpthosts",
                     [name] {
                       return under_table_lock([name] { return add_control_host(name) == 0; });
                     }});
    }
    if (!virtuals.count(name + ":" + name)) {
      out.push_back({virtualdomains, name + " is assigned but has no line " + name + ":" + name,
                     [name] {
                       return under_table_lock([name] { return add_virtual_domain(name) == 0; });
                     }});
    }
  }
  // NAME:NAME is the store's own line: without an entry it is what a
  // removal that died left behind, and it goes with the name's host line.
  for (const std::string& line : virtuals) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    if (name.empty() || line.substr(colon + 1) != name || store.by_name.count(name)) continue;
    out.push_back({virtualdomains, line + " names no assigned domain", [name] {
                     return under_table_lock([name] {
                       if (domain_exists(DomainName(name))) return false;
                       return remove_control_entries({name}) == 0;
                     });
                   }});
  }
}

void check_morercpthosts_cdb(Findings& out) {
  const std::string more = qmail_morercpthosts_file();
  const std::string path = more + ".cdb";
  std::set<std::string> wanted;
  std::string text;
  bool listed = read_text(more, text);
  for (std::string line : split_lines(text)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
    for (char& c : line) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    wanted.insert(line);
  }
  std::set<std::string> compiled;
  bool readable = cdb_file_records(path, [&](std::string_view key, std::string_view) {
                    compiled.emplace(key);
                    return true;
                  }) == 0;
  struct stat st;
  if (!listed && lstat(path.c_str(), &st) != 0) return;
  if (readable && compiled == wanted && listed) return;
  auto repair = [more, path, listed] {
    return under_lock(lock_file_path(more), [&] {
      if (!listed) return unlink(path.c_str()) == 0;
      return run_qmail_newmrh() == 0;
    });
  };
  out.push_back({path, listed ? "does not agree with morercpthosts" : "is left without morercpthosts",
                 repair});
}

// ---- the domains' directories ---------------------------------------------

// The repair of a dead writer's pending directory PATH, whose finished name
// would be TARGET.
using LeftoverRepair =
    std::function<std::function<bool()>(const std::string& path, const std::string& target)>;

// Walks the hashed tree under root (domains under the store, mailboxes
// under a domain): a dead writer's pending directory is a leftover, unless
// its target is named and missing (then it is moved back elsewhere); any
// other directory that `named` lacks is reported as `unnamed`.
void walk_hashed_tree(const std::string& root, const std::set<std::string>& named,
                      const char* unnamed, const LeftoverRepair& repair, Findings& out) {
  std::function<void(const std::string&, int)> walk = [&](const std::string& dir, int depth) {
    for (const Entry& e : entries_of(dir)) {
      if (!e.dir) continue;
      std::string path = dir + "/" + e.name;
      // A named directory is a live domain or mailbox, whatever its name
      // looks like: never a leftover.
      if (named.count(path)) continue;
      if (std::optional<PendingName> pending = pending_target(e.name)) {
        std::string target = dir + "/" + pending->name;
        bool moved_back = named.count(target) && !is_directory(target);
        if (writer_is_gone(path, pending->pid) && !moved_back) {
          out.push_back({path, "leftover of a killed writer", repair(path, target)});
        }
        continue;
      }
      if (depth < kHashedLevels && is_hashed_name(e.name)) {
        walk(path, depth + 1);
      } else if (!named.count(path)) {
        out.push_back({path, unnamed, nullptr});
      }
    }
  };
  walk(root, 0);
}

// Whether no entry of users/assign (read afresh) names the directory.
bool no_domain_names(const std::string& dir) {
  for (const AssignEntry& d : read_store().real_domains) {
    if (d.dir == dir) return false;
  }
  return true;
}

void check_domain_dirs(const Store& store, Findings& out) {
  std::set<std::string> named;
  for (const AssignEntry& e : store.real_domains) named.insert(e.dir);
  for (const AssignEntry& e : store.real_domains) {
    if (is_directory(e.dir)) continue;
    if (std::optional<std::string> pending = stale_pending_for(e.dir, named)) {
      out.push_back({e.dir, "directory of " + e.name + " is missing; a killed writer left it at " +
                                base_of(*pending),
                     [p = *pending, d = e.dir] {
                       return under_table_lock(move_back(p, d, no_domain_names));
                     }});
    } else {
      out.push_back({e.dir, "directory of " + e.name + " is missing", nullptr});
    }
  }
  const std::string domains = store_domains_dir(tessera_home());
  walk_hashed_tree(domains, named, "domain directory named by no entry of users/assign",
                   [](const std::string& path, const std::string& target) {
                     return [path, target] {
                       return under_table_lock(remove_pending(path, [path, target] {
                         return no_domain_names(path) &&
                                (is_directory(target) || no_domain_names(target));
                       }));
                     };
                   },
                   out);
  check_copies(domains, {std::string(kDirControlName)}, {}, "", out);
}

// The domains level's count against the real domains kept under it.
void check_domain_count(const Store& store, Findings& out) {
  const std::string level = domains_level_name(kStoreUid);
  const std::string domains = store_domains_path(tessera_home(), "");
  uint64_t count = 0;
  for (const AssignEntry& e : store.real_domains) count += e.dir.starts_with(domains) ? 1 : 0;
  DirControl record;
  bool present = read_dir_control(record, level, kStoreUid) == 0;
  if (!present && count == 0) return;
  if (record.entry_count == count) return;
  out.push_back({dir_control_path(level, kStoreUid),
                 "entry count " + std::to_string(record.entry_count) + ", but the store has " +
                     std::to_string(count) + " domains",
                 [level] {
                   return under_table_lock([level] {
                     FileLock lock;
                     if (dir_control_lock(lock, level, kStoreUid, kStoreGid) != 0) return false;
                     DirControl fresh;
                     read_dir_control(fresh, level, kStoreUid);
                     uint64_t now = 0;
                     const std::string home = store_domains_path(tessera_home(), "");
                     for (const AssignEntry& e : read_store().real_domains) {
                       now += e.dir.starts_with(home) ? 1 : 0;
                     }
                     fresh.entry_count = now;
                     return write_dir_control(fresh, level, kStoreUid, kStoreGid) == 0;
                   });
                 }});
}

// ---- one domain ------------------------------------------------------------

struct PasswdLine {
  size_t number = 0;
  std::string key;
  std::string value;
  std::string dir;
  bool parses = false;
};

std::vector<PasswdLine> passwd_lines(const std::string& text) {
  std::vector<PasswdLine> lines;
  size_t start = 0, number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    bool ended = end != std::string::npos;
    std::string line = text.substr(start, ended ? end - start : std::string::npos);
    start = ended ? end + 1 : text.size();
    PasswdLine l;
    l.number = ++number;
    // The store's own reading of a line, plus the "\n" its index requires.
    std::optional<password_record> record = ended ? parse_passwd_line(line) : std::nullopt;
    l.parses = record.has_value();
    if (l.parses) {
      l.key = record->name;
      l.value = line.substr(l.key.size() + 1);
      l.dir = record->dir;
    }
    lines.push_back(std::move(l));
  }
  return lines;
}

// Sorts a domain's password file by name under its lock and rebuilds the
// index; only a file whose every line parses and whose names are unique.
bool sort_password_file(const DomainName& domain) {
  const passwd_file_paths paths = passwd_paths_of(domain);
  return under_lock(paths.lock, [&] {
    std::string text;
    if (!read_text(paths.text, text)) return false;
    std::vector<PasswdLine> lines = passwd_lines(text);
    std::vector<std::string> raw = split_lines(text);
    std::vector<size_t> order(raw.size());
    for (size_t i = 0; i < order.size(); ++i) {
      if (!lines[i].parses) return false;
      order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return lines[a].key < lines[b].key; });
    for (size_t i = 1; i < order.size(); ++i) {
      if (lines[order[i]].key == lines[order[i - 1]].key) return false;
    }
    struct stat old;
    if (stat(paths.text.c_str(), &old) != 0) return false;
    TempFile temp(paths.temp);
    if (!temp.create(0600) || !temp.give_owner(old.st_uid, old.st_gid, false) ||
        !temp.set_mode(0600)) {
      return false;
    }
    for (size_t i : order) temp.out().put(raw[i]);
    if (temp.replace(paths.text) != 0) return false;
    return passwd_rebuild(domain) == 0;
  });
}

bool rebuild_index(const DomainName& domain) {
  return under_lock(passwd_paths_of(domain).lock, [&] { return passwd_rebuild(domain) == 0; });
}

void check_password_file(const AssignEntry& d, const std::vector<PasswdLine>& lines,
                         Findings& out) {
  const std::string path = passwd_file(d.dir);
  std::set<std::string> seen;
  bool all_parse = true, duplicates = false;
  for (const PasswdLine& l : lines) {
    if (!l.parses) {
      all_parse = false;
      out.push_back({path, "line " + std::to_string(l.number) + " does not parse", nullptr});
      continue;
    }
    if (!seen.insert(l.key).second) {
      duplicates = true;
      out.push_back({path, "line " + std::to_string(l.number) + ": " + l.key + " appears again",
                     nullptr});
    }
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!lines[i].parses || !lines[i - 1].parses || lines[i - 1].key <= lines[i].key) continue;
    std::function<bool()> repair;
    if (all_parse && !duplicates) repair = [domain = d.name] { return sort_password_file(domain); };
    out.push_back({path, "line " + std::to_string(lines[i].number) + ": " + lines[i].key +
                             " is out of order",
                   repair});
    break;
  }
  // The index holds the lines that end with "\n" and hold a ":", in order.
  std::vector<std::pair<std::string, std::string>> wanted, indexed;
  for (const PasswdLine& l : lines) {
    if (l.parses) wanted.emplace_back(l.key, l.value);
  }
  const std::string index = passwd_index(d.dir);
  bool readable = cdb_file_records(index, [&](std::string_view key, std::string_view value) {
                    indexed.emplace_back(key, value);
                    return true;
                  }) == 0;
  if (!readable && lines.empty()) return;
  if (readable && (indexed == wanted || !all_parse)) return;
  out.push_back({index, readable ? "does not agree with tpasswd" : "is missing or unreadable",
                 [domain = d.name] { return rebuild_index(domain); }});
}

// Whether a password line of the domain still names path (read afresh).
bool line_names(const DomainName& domain, const std::string& path) {
  std::string text;
  if (!read_text(passwd_paths_of(domain).text, text)) return false;
  for (const PasswdLine& l : passwd_lines(text)) {
    if (l.parses && l.dir == path) return true;
  }
  return false;
}

void check_mailboxes(const AssignEntry& d, const std::vector<PasswdLine>& lines, Findings& out) {
  const std::string lock = passwd_paths_of(d.name).lock;
  std::set<std::string> named;
  for (const PasswdLine& l : lines) {
    if (l.parses) named.insert(l.dir);
  }
  auto unnamed = [domain = d.name](const std::string& dir) { return !line_names(domain, dir); };
  for (const PasswdLine& l : lines) {
    if (!l.parses || is_directory(l.dir)) continue;
    const std::string who = l.key + "@" + d.name;
    if (std::optional<std::string> pending = stale_pending_for(l.dir, named)) {
      out.push_back({l.dir, "mailbox of " + who + " is missing; a killed writer left it at " +
                                base_of(*pending),
                     [lock, p = *pending, dir = l.dir, unnamed] {
                       return under_lock(lock, move_back(p, dir, unnamed));
                     }});
    } else {
      out.push_back({l.dir, "mailbox of " + who + " is missing", nullptr});
    }
  }
  walk_hashed_tree(d.dir, named, "mailbox directory named by no password line",
                   [lock, domain = d.name](const std::string& path, const std::string& target) {
                     return [lock, path, target, domain] {
                       return under_lock(lock, remove_pending(path, [=] {
                         return !line_names(domain, path) &&
                                (is_directory(target) || !line_names(domain, target));
                       }));
                     };
                   },
                   out);
}

// The mailboxes of a password file: the names of its lines that parse.
uint64_t mailbox_count(const std::vector<PasswdLine>& lines) {
  std::set<std::string> names;
  for (const PasswdLine& l : lines) {
    if (l.parses) names.insert(l.key);
  }
  return names.size();
}

void check_mailbox_count(const AssignEntry& d, const std::vector<PasswdLine>& lines,
                         Findings& out) {
  // Only the domain's own control file: a domain that users/cdb cannot
  // find would be read at the domains level's.
  if (dir_control_path(d.name, d.uid) != dir_control_file(d.dir)) return;
  uint64_t count = mailbox_count(lines);
  DirControl record;
  bool present = read_dir_control(record, d.name, d.uid) == 0;
  if ((!present && count == 0) || record.entry_count == count) return;
  out.push_back({dir_control_file(d.dir),
                 "entry count " + std::to_string(record.entry_count) + ", but the domain has " +
                     std::to_string(count) + " mailboxes",
                 [d] {
                   FileLock lock;
                   if (dir_control_lock(lock, d.name, d.uid, d.gid) != 0) return false;
                   std::string text;
                   read_text(passwd_paths_of(d.name).text, text);
                   uint64_t now = mailbox_count(passwd_lines(text));
                   DirControl fresh;
                   read_dir_control(fresh, d.name, d.uid);
                   fresh.entry_count = now;
                   return write_dir_control(fresh, d.name, d.uid, d.gid) == 0;
                 }});
}

// The free-directory list's backup: its list is put back from it when a
// removal died after moving the list aside, else it is a leftover.
void check_free_list_backup(const AssignEntry& d, Findings& out) {
  const std::string list = dir_free_list(d.dir);
  const std::string backup = list + ".bak";
  struct stat st;
  if (lstat(backup.c_str(), &st) != 0) return;
  bool list_missing = lstat(list.c_str(), &st) != 0;
  if (!list_missing && !writer_is_gone(backup, getpid())) return;
  auto repair = [list, backup] {
    return under_lock(lock_file_path(list), [&] {
      struct stat now;
      if (lstat(list.c_str(), &now) != 0) return rename(backup.c_str(), list.c_str()) == 0;
      return unlink(backup.c_str()) == 0;
    });
  };
  out.push_back({backup, list_missing ? "holds the free-directory list, which is missing"
                                      : "leftover of a killed writer",
                 repair});
}

// The program a domain's .qmail-default runs for all its mail: when it is
// not there, qmail defers every message of the domain and finally bounces
// it. Installing it is for a person.
void check_delivery_program(const AssignEntry& d, Findings& out) {
  const std::string path = d.dir + "/" + std::string(kQmailDefaultName);
  std::optional<std::string> text = read_dot_qmail(PathAt{AT_FDCWD, path}, false);
  if (!text) return;
  std::string_view rest = *text, piece;
  next_piece(rest, piece, kDotQmailWholeLine);
  DotQmailLine line = parse_dot_qmail_line(piece);
  if (line.kind != DotQmailKind::kProgram) return;
  std::string_view command = line.text;
  size_t start = command.find_first_not_of(" \t");
  if (start == std::string_view::npos) return;
  command.remove_prefix(start);
  std::string program(command.substr(0, command.find_first_of(" \t")));
  // Only a program named by its path can be looked for; the shell finds
  // any other one through its PATH.
  if (program.front() != '/') return;
  struct stat st;
  if (stat(program.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
    return;
  }
  out.push_back({path, "names " + program + ", which is missing or not executable", nullptr});
}

// The mailbox directory a delivery path names: the part before its
// Maildir/ (a catch-all names the mailbox itself).
std::string mailbox_of(std::string path) {
  size_t maildir = maildir_suffix_at(path);
  if (maildir != std::string::npos) path.erase(maildir);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A domain's dot-qmail files (its aliases' and .qmail-default) that deliver
// into a mailbox that is not there: qmail defers that mail until it
// bounces. Whether to drop the line or make the mailbox is for a person.
void check_dot_qmail_paths(const AssignEntry& d, Findings& out) {
  for (const Entry& e : entries_of(d.dir)) {
    if (e.dir || !e.name.starts_with(kDotQmailPrefix)) continue;
    const std::string path = d.dir + "/" + e.name;
    std::optional<std::string> text = read_dot_qmail(PathAt{AT_FDCWD, path}, false);
    if (!text) continue;
    std::set<std::string> named;
    std::string_view rest = *text;
    for (std::string_view piece; next_piece(rest, piece, kDotQmailWholeLine);) {
      DotQmailLine line = parse_dot_qmail_line(piece);
      if (line.kind == DotQmailKind::kMaildir && line.text.front() == '/') {
        named.insert(mailbox_of(std::string(line.text)));
      }
      std::optional<std::string> argument =
          line.kind == DotQmailKind::kProgram ? delivery_argument(line.text) : std::nullopt;
      if (argument && parse_no_mailbox(*argument).kind == NoMailboxKind::kPath) {
        named.insert(mailbox_of(*argument));
      }
    }
    for (const std::string& mailbox : named) {
      if (!is_directory(mailbox)) {
        out.push_back({path, "names the mailbox " + mailbox + ", which is missing", nullptr});
      }
    }
  }
}

void check_domain(const AssignEntry& d, Findings& out) {
  if (!is_directory(d.dir)) return;
  check_delivery_program(d, out);
  check_dot_qmail_paths(d, out);
  std::string text;
  read_text(passwd_file(d.dir), text);
  std::vector<PasswdLine> lines = passwd_lines(text);
  check_password_file(d, lines, out);
  check_mailboxes(d, lines, out);
  check_mailbox_count(d, lines, out);
  check_free_list_backup(d, out);
  check_copies(d.dir, {std::string(kPasswdBackupName), std::string(kDotQmailCopyName)},
               {std::string(kIndexTempName)}, passwd_paths_of(d.name).lock, out);
  check_copies(d.dir,
               {std::string(kDirControlName), std::string(kFreeListName),
                std::string(kLimitsFileName)},
               {}, "", out);
}

// ---- the whole store ---------------------------------------------------

Findings check_store() {
  Findings out;
  // Without them no compile of qmail's tables can happen, nor a repair of
  // one: installing qmail's tools is for a person.
  for (const std::string& tool : unusable_qmail_tools()) {
    out.push_back({tool, "is missing or not executable", nullptr});
  }
  tget_assign_forget();
  Store store = read_store();
  check_users_cdb(store, out);
  check_control_files(store, out);
  check_morercpthosts_cdb(out);
  check_domain_dirs(store, out);
  check_domain_count(store, out);
  for (const AssignEntry& d : store.real_domains) check_domain(d, out);
  check_copies(qmail_control_dir(),
               {kRcpthostsName, kMoreRcpthostsName, kVirtualDomainsName, kLocalsName, ".larkspur"},
               {std::string(kMoreRcpthostsName) + ".tmp"}, "", out);
  check_copies(parent_of(qmail_assign_file()), {base_of(qmail_assign_file())},
               {std::string(kIndexTempName)},
               lock_file_path(qmail_assign_file()), out);
  return out;
}

void print_finding(const Finding& f, const char* outcome, std::vector<std::string>& documents) {
  if (json_output()) {
    JsonObject object;
    object.text("path", f.path).text("problem", f.problem);
    if (outcome) {
      object.text("repair", outcome);
    } else {
      object.null("repair");
    }
    documents.push_back(object.object());
    return;
  }
  printf("%s%s%s\n", f.line().c_str(), outcome ? ": " : "", outcome ? outcome : "");
}

}  // namespace

int check_command(const Words& words) {
  bool repair = false;
  for (const std::string& word : words) {
    if (word != "--repair" || repair) return kUsageStatus;
    repair = true;
  }
  std::vector<std::string> documents;
  Findings findings = check_store();
  if (!repair) {
    for (const Finding& f : findings) print_finding(f, nullptr, documents);
  }
  std::set<std::string> printed, seen;
  for (int round = 1; repair && round <= kRounds && !findings.empty(); ++round) {
    bool repaired_any = false;
    for (const Finding& f : findings) {
      const char* outcome = "needs a person";
      if (f.repair) {
        bool done = f.repair();
        repaired_any = repaired_any || done;
        outcome = done ? "repaired" : "not repaired";
      }
      seen.insert(f.line());
      if (printed.insert(f.line() + ": " + outcome).second) print_finding(f, outcome, documents);
    }
    findings = check_store();
    if (!repaired_any) break;
  }
  // What the last reading found that no round has named yet.
  for (const Finding& f : repair ? findings : Findings{}) {
    if (seen.insert(f.line()).second) {
      print_finding(f, f.repair ? "not repaired" : "needs a person", documents);
    }
  }
  if (json_output()) {
    print_json(JsonObject()
                   .document("findings", json_array(documents))
                   .boolean("consistent", findings.empty())
                   .object());
  } else if (findings.empty()) {
    printf("store consistent\n");
  }
  fflush(stdout);
  return findings.empty() ? 0 : 1;
}

#include "domains/assign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/address.h"
#include "base/error.h"
#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/locked_file_io.h"
#include "base/site.h"
#include "base/text.h"
#include "cdb/cdb.h"

namespace {

// Once rcpthosts holds this many lines, new names go to morercpthosts,
// which qmail reads as a compiled database instead of a linear list.
constexpr int kRcpthostsLimit = 50;
// The piece size in which the tables are counted and read.
constexpr size_t kTableLineBuffer = 300;
// A directory handed out by find_domain_home, with its terminator.
constexpr size_t kStorePathBuffer = 300;
constexpr size_t kLookupKeyLimit = 299;
// The iterator's match key: at most 95 characters in its 97-byte buffer.
constexpr size_t kMatchKeyLimit = 95;
constexpr mode_t kTableMode = 0644;
// A qmail tool's failure as the shell reports it.
constexpr int kToolMissingStatus = 127;
constexpr int kSignalStatusBase = 128;

// The last answer, with the site root it was read under: a lookup under
// another root reads users/cdb afresh, so callers never see another tree's
// answer.
struct AssignCache {
  std::string root;
  std::optional<std::string> real_domain;
  std::optional<std::string> dir;
  long uid = -1;
  long gid = -1;
  bool valid() const { return real_domain && dir && root == site_root(); }
  void forget() {
    real_domain.reset();
    dir.reset();
  }
};

AssignCache& cache() {
  static AssignCache state;
  return state;
}



// false, with nothing filled, when the directory asked for does not fit the
// caller's field: cut, it would name another directory.
bool fill_outputs(std::string* dir, size_t dir_size, uid_t* uid, gid_t* gid) {
  const AssignCache& c = cache();
  if (dir && (dir_size == 0 || !store_path_fits(*c.dir, dir_size - 1))) return false;
  if (uid) *uid = static_cast<uid_t>(c.uid);
  if (gid) *gid = static_cast<gid_t>(c.gid);
  if (dir) *dir = *c.dir;
  return true;
}

// The value's NUL-ended fields: real domain, uid, gid, directory, ...
std::vector<std::string_view> value_fields(std::string_view value) {
  std::vector<std::string_view> fields;
  while (!value.empty()) {
    size_t end = value.find('\0');
    if (end == std::string_view::npos) break;  // an unended field is not read
    fields.push_back(value.substr(0, end));
    value.remove_prefix(end + 1);
  }
  return fields;
}

bool read_value(int fd, uint32_t length, std::string& value) {
  value.resize(length);
  size_t done = 0;
  while (done < length) {
    ssize_t got = read(fd, value.data() + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Looks the name up in users/cdb and fills the cache; false when the file,
// the key or a usable value is missing (the cache then stays empty).
bool load_cache(const std::string& name) {
  AssignCache& c = cache();
  std::string key = "!" + name + "-";
  cut_text(key, kLookupKeyLimit);
  FdGuard fd(open(qmail_users_cdb().c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  uint32_t length = 0;
  if (cdb_lookup(fd.get(), key.data(), key.size(), &length) != 1) return false;
  c.uid = c.gid = -1;
  std::string value;
  if (!read_value(fd.get(), length, value)) return false;
  std::vector<std::string_view> fields = value_fields(value);
  if (fields.size() < 4) return false;
  c.root = site_root();
  c.uid = strtol(std::string(fields[1]).c_str(), nullptr, 10);
  c.gid = strtol(std::string(fields[2]).c_str(), nullptr, 10);
  c.real_domain = std::string(fields[0]);
  c.dir = std::string(fields[3]);
  return true;
}

void set_table_mode(const std::string& path) { chmod(path.c_str(), kTableMode); }

bool file_missing(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// Lines of a table counted in 300-byte pieces; -1 when it cannot be read.
int count_table_lines(const std::string& path) {
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return -1;
  char piece[kTableLineBuffer];
  int lines = 0;
  while (fgets(piece, sizeof piece, file)) ++lines;
  fclose(file);
  return lines;
}

int add_to_table(const std::string& path, const std::string& line, int kind,
                 const char* table) {
  if (update_file(path, line, kind) != 0) {
    fprintf(stderr, "Failed while attempting to update_file() the %s file\n", table);
    return -1;
  }
  set_table_mode(path);
  return 0;
}

int add_recipient_host(const std::string& name) {
  std::string rcpthosts = qmail_rcpthosts_file();
  if (count_table_lines(rcpthosts) >= kRcpthostsLimit) {
    std::string more = qmail_morercpthosts_file();
    if (add_to_table(more, name, kHostListKind, kMoreRcpthostsName) != 0) return -1;
    return run_qmail_newmrh();
  }
  return add_to_table(rcpthosts, name, kHostListKind, kRcpthostsName);
}

// qmail reads a missing locals as "this host's own name" but an empty one as
// no local names at all, so a missing file is left missing.
int remove_local_name(const std::string& name) {
  std::string locals = qmail_locals_file();
  if (file_missing(locals)) return 0;
  const std::string names[] = {name};
  if (remove_lines(locals, names) < 0) {
    fprintf(stderr, "Failure while attempting to remove_lines() the locals file\n");
    return -1;
  }
  set_table_mode(locals);
  return 0;
}

int create_assign_file(const std::string& path) {
  if (!file_missing(path)) return 0;
  FILE* file = fopen(path.c_str(), "w");
  bool written = file && fputs(".\n", file) >= 0;
  if (file && fclose(file) != 0) written = false;
  if (!written) {
    fprintf(stderr, "could not open assign file\n");
    return -1;
  }
  return 0;
}

bool parse_entry(std::string_view line, AssignEntry& entry) {
  std::optional<AssignSplit> split = split_assign_line(line, kStoreAssignSyntax);
  if (!split) return false;
  entry.name = DomainName::as_stored(std::string(split->name));
  entry.real_domain = DomainName::as_stored(std::string(split->real_domain));
  entry.uid = atoi(std::string(split->uid).c_str());
  entry.gid = atoi(std::string(split->gid).c_str());
  entry.dir.assign(split->dir);
  return true;
}

int run_tool(const char* name, bool qmail_newu_mask) {
  std::string path = qmail_tool(name);
  fflush(nullptr);
  pid_t child = vfork();
  if (child == 0) {
    if (qmail_newu_mask) umask(022);
    execl(path.c_str(), name, static_cast<char*>(nullptr));
    _exit(kToolMissingStatus);
  }
  int status = 0;
  pid_t waited = -1;
  if (child > 0) {
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  // The status as the shell would give it: a tool that could not be
  // started exits 127, one killed by signal N counts as 128 + N.
  int exit_status = kToolMissingStatus;
  if (waited == child && WIFEXITED(status)) exit_status = WEXITSTATUS(status);
  if (waited == child && WIFSIGNALED(status)) exit_status = kSignalStatusBase + WTERMSIG(status);
  if (exit_status == 0) return 0;
  fprintf(stderr, "%s failed: exit %d\n", name, exit_status);
  return kErrUpdateFile;
}

// Removes the lines from one table if it exists; the number removed, or -1
// after the table's message. A rewritten table always ends mode 0644.
int remove_table_lines(const std::string& path, const std::vector<std::string>& lines,
                       const char* table) {
  if (file_missing(path)) return 0;
  int removed = remove_lines(path, lines);
  if (removed < 0) {
    fprintf(stderr, "Failed while attempting to remove_lines() the %s file\n", table);
    return -1;
  }
  set_table_mode(path);
  return removed;
}

// morercpthosts is compiled for qmail; once it is empty both it and its
// database go, so qmail falls back on rcpthosts alone.
int remove_more_recipient_hosts(const std::vector<std::string>& names) {
  std::string more = qmail_morercpthosts_file();
  int removed = remove_table_lines(more, names, kMoreRcpthostsName);
  if (removed <= 0) return removed;
  struct stat st;
  if (stat(more.c_str(), &st) != 0) return 0;
  if (st.st_size > 0) {
    if (run_qmail_newmrh() != 0) return kErrUpdateFile;
  } else {
    unlink(more.c_str());
    unlink((more + ".cdb").c_str());
  }
  return 0;
}

}  // namespace

std::string assign_entry_line(const std::string& name, const std::string& real_domain,
                              uid_t uid, gid_t gid, const std::string& dir) {
  return "+" + name + "-:" + real_domain + ":" + std::to_string(uid) + ":" +
         std::to_string(gid) + ":" + dir + ":-::";
}

const char* tget_assign(const DomainName& name, std::string* dir, size_t dir_size, uid_t* uid,
                        gid_t* gid, std::string* real_domain) {
  AssignCache& c = cache();
  if (name.empty()) {
    c.forget();
    return nullptr;
  }
  if (c.valid() && *c.real_domain == name) {
    if (!fill_outputs(dir, dir_size, uid, gid)) return nullptr;
    if (real_domain != nullptr) *real_domain = field_text(*c.real_domain, kAssignNameBuffer);
    return c.dir->c_str();
  }
  c.forget();
  if (!load_cache(name)) {
    c.forget();
    return nullptr;
  }
  if (!fill_outputs(dir, dir_size, uid, gid)) return nullptr;
  if (real_domain != nullptr) *real_domain = field_text(*c.real_domain, kAssignNameBuffer);
  return c.dir->c_str();
}

void tget_assign_forget() { cache().forget(); }

bool domain_exists(const DomainName& name) {
  return tget_assign(name, nullptr, 0, nullptr, nullptr) != nullptr;
}

std::optional<DomainHome> find_domain_home(const DomainName& name) {
  DomainHome home;
  std::string real_domain;
  if (!tget_assign(name, &home.dir, kStorePathBuffer, &home.uid, &home.gid, &real_domain)) {
    return std::nullopt;
  }
  home.domain = DomainName::as_stored(std::move(real_domain));
  return home;
}

StoreError assign_add_domain(const std::string& name, const std::string& real_domain,
                      const std::string& dir, uid_t uid, gid_t gid) {
  std::string assign = qmail_assign_file();
  if (create_assign_file(assign) != 0) return kErrFailed;
  if (update_file(assign, assign_entry_line(name, real_domain, uid, gid, dir), kAssignKind) !=
      0) {
    fprintf(stderr, "Failed while attempting to update_file() the assign file\n");
    return kErrFailed;
  }
  set_table_mode(assign);
  // A tool that fails does not stop the tables: what it should have
  // compiled is written, and the store check compiles it again.
  bool compiled = run_qmail_newu() == 0;
  int host = add_recipient_host(name);
  if (host == -1) return kErrFailed;
  compiled = compiled && host == 0;
  if (add_to_table(qmail_virtualdomains_file(), name + ":" + name,
                   kVirtualDomainsKind, kVirtualDomainsName) != 0) {
    return kErrFailed;
  }
  if (remove_local_name(name) != 0) return kErrFailed;
  return store_code(compiled ? 0 : kErrUpdateFile);
}

StoreError assign_remove_domains(const std::string* names, int count, const std::string& real_domain,
                          const std::string& dir, uid_t uid, gid_t gid) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    lines.push_back(assign_entry_line(names[i], real_domain, uid, gid, dir));
  }
  std::string assign = qmail_assign_file();
  if (remove_lines(assign, lines) < 0) {
    fprintf(stderr, "Failed while attempting to remove_lines() the assign file\n");
    return kErrFailed;
  }
  set_table_mode(assign);
  int compiled = run_qmail_newu();
  tget_assign_forget();
  return store_code(compiled);
}

AssignEntries::AssignEntries(const DomainName& name) : match_(name.str()) {
  file_ = std::make_unique<LineReader>();
  if (!file_->open(qmail_assign_file(), O_RDONLY, false)) file_.reset();
  cut_text(match_, kMatchKeyLimit);
  // The list asks for a real domain's entries; an alias asks for its real
  // domain's, an unknown name for its own (lower-cased) name.
  const DomainName asked(match_);
  match_ = asked;
  tget_assign(asked, nullptr, 0, nullptr, nullptr, &match_);
}

AssignEntries::~AssignEntries() = default;

const AssignEntry* AssignEntries::next() {
  if (!file_) {
    last_error = kErrAssignFile;
    return nullptr;
  }
  std::string line;
  while (file_->next(line)) {
    if (!parse_entry(line, entry_)) continue;
    if (match_.empty() || match_ == entry_.real_domain) return &entry_;
  }
  file_.reset();
  return nullptr;
}

StoreError run_qmail_newu() { return store_code(run_tool("qmail-newu", true)); }

StoreError run_qmail_newmrh() { return store_code(run_tool("qmail-newmrh", false)); }

StoreError remove_control_entries(const std::vector<std::string>& names) {
  bool failed = false;
  if (remove_table_lines(qmail_rcpthosts_file(), names, kRcpthostsName) < 0) failed = true;
  int more = remove_more_recipient_hosts(names);
  if (more == -1) failed = true;
  std::vector<std::string> virtual_lines;
  for (const std::string& name : names) virtual_lines.push_back(name + ":" + name);
  if (remove_table_lines(qmail_virtualdomains_file(), virtual_lines,
                         kVirtualDomainsName) < 0) {
    failed = true;
  }
  if (failed) return kErrFailed;
  return store_code(more == kErrUpdateFile ? kErrUpdateFile : 0);
}

StoreError add_control_host(const std::string& name) {
  return store_code(add_recipient_host(name));
}

StoreError add_virtual_domain(const std::string& name) {
  return store_code(add_to_table(qmail_virtualdomains_file(), name + ":" + name,
                                 kVirtualDomainsKind, kVirtualDomainsName));
}

std::optional<AssignSplit> split_assign_line(std::string_view line, const AssignSyntax& syntax) {
  if (syntax.entry_form) {
    if (line.empty() || line[0] != '+') return std::nullopt;
    line.remove_prefix(1);
  }
  std::vector<std::string_view> fields;
  size_t at = line.find_first_not_of(syntax.separators);
  while (at != std::string_view::npos) {
    size_t end = line.find_first_of(syntax.separators, at);
    fields.push_back(line.substr(at, end - at));
    at = end == std::string_view::npos ? end : line.find_first_not_of(syntax.separators, end);
  }
  if (fields.size() < (syntax.entry_form ? 5u : 2u)) return std::nullopt;
  std::string_view key = fields[0];
  AssignSplit split;
  if (syntax.entry_form) {
    if (key.size() < 2 || key.find('.') == std::string_view::npos || key.back() != '-') {
      return std::nullopt;
    }
    split.name = key.substr(0, key.size() - 1);
  } else if (key.size() >= 2) {
    split.name = key.substr(1, key.size() - 2);
  }
  split.real_domain = fields[1];
  if (fields.size() > 2) split.uid = fields[2];
  if (fields.size() > 3) split.gid = fields[3];
  if (fields.size() > 4) split.dir = fields[4];
  return split;
}

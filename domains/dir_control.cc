#include "domains/dir_control.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/dir_tree.h"
#include "base/error.h"
#include "base/locked_file.h"
#include "base/locked_file_io.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"

namespace {

constexpr std::string_view kAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int32_t kLastIndex = static_cast<int32_t>(kAlphabet.size()) - 1;
constexpr int32_t kDeepestLevel = 2;
// Every hundredth entry opens the next sub-directory.
constexpr uint64_t kEntriesPerDir = 100;
// The free list is read through a buffer of this size; a line that does not
// fit with its newline is refused rather than taken in pieces.
constexpr int kFreeLineBuffer = 298;

// ---- Location ---------------------------------------------------------

struct KnownDomain {
  std::string name;  // the real domain's name
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The name found is the real domain's on success, else the name as the
// store keeps it (lower-cased).
std::optional<KnownDomain> find_domain(const DomainName& domain,
                                       std::string* looked_up = nullptr) {
  KnownDomain found;
  found.name = domain;
  const char* dir = tget_assign(domain, nullptr, 0, &found.uid, &found.gid, &found.name);
  if (looked_up != nullptr) *looked_up = found.name;
  if (dir == nullptr) return std::nullopt;
  found.dir = dir;
  return found;
}

// "dom_" + a uid in decimal names the domains level of that uid; it can
// never be a domain, so it is not looked up.
bool is_domains_level_name(const std::string& name) {
  constexpr std::string_view kPrefix = kDomainsLevelPrefix;
  if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) return false;
  return std::all_of(name.begin() + kPrefix.size(), name.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string home_of(uid_t uid) {
  if (uid == kStoreUid) return tessera_home();
  const struct passwd* entry = getpwuid(uid);
  if (entry == nullptr || entry->pw_dir == nullptr) return std::string();
  return entry->pw_dir;
}

// ---- Control file -----------------------------------------------------

bool parse_int(const char* text, int32_t& out) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool parse_count(const char* text, uint64_t& out) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  if (*text == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  out = value;
  return true;
}

// "%d %d %d": the first number starts the line, the second follows the
// first space, the third the second space. Numbers not given keep their
// value.
void parse_triple(const std::string& line, int32_t (&field)[3]) {
  size_t start = 0;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      size_t space = line.find(' ', start);
      if (space == std::string::npos) return;
      start = space + 1;
    }
    parse_int(line.c_str() + start, field[k]);
  }
}

void apply_line(DirControl& record, int number, const std::string& line) {
  switch (number) {
    case 1: parse_count(line.c_str(), record.entry_count); break;
    case 2: parse_int(line.c_str(), record.level); break;
    case 3: parse_int(line.c_str(), record.max_level); break;
    case 4: parse_triple(line, record.first_char); break;
    case 5: parse_triple(line, record.last_char); break;
    case 6: parse_triple(line, record.char_pos); break;
    case 7: parse_triple(line, record.char_index); break;
    case 8: record.path = field_text(line, kDirControlPathMax + 1); break;
    default: break;
  }
}

std::string triple_line(const int32_t (&field)[3]) {
  return std::to_string(field[0]) + " " + std::to_string(field[1]) + " " +
         std::to_string(field[2]);
}

// ---- The allocation step ----------------------------------------------

// A level's first and last alphabet index, held inside the alphabet so a
// damaged control file cannot send a lookup past its end.
int32_t first_index(const DirControl& r, int level) {
  return std::clamp(r.first_char[level], int32_t{0}, kLastIndex);
}

int32_t last_index(const DirControl& r, int level) {
  return std::clamp(r.last_char[level], first_index(r, level), kLastIndex);
}

char first_of(const DirControl& r, int level) { return kAlphabet[first_index(r, level)]; }

bool is_last_of(const DirControl& r, int level, char c) {
  return c == kAlphabet[last_index(r, level)];
}

// The next character of the level's range; the first one after the last,
// and for anything outside the range (the end of a freshly opened level).
char successor(const DirControl& r, int level, char c) {
  for (int32_t i = first_index(r, level); i < last_index(r, level); ++i) {
    if (kAlphabet[i] == c) return kAlphabet[i + 1];
  }
  return first_of(r, level);
}

// The path character of a level; '\0' past the end of the path.
char char_at(const DirControl& r, int level) {
  int32_t pos = r.char_pos[level];
  if (pos < 0 || static_cast<size_t>(pos) >= r.path.size()) return '\0';
  return r.path[pos];
}

// Replaces a level's character; at the end of the path it extends it. A
// position further out (a damaged file) changes nothing.
void set_char(DirControl& r, int level, char c) {
  int32_t pos = r.char_pos[level];
  if (pos < 0) return;
  if (static_cast<size_t>(pos) < r.path.size()) {
    r.path[pos] = c;
  } else if (static_cast<size_t>(pos) == r.path.size() && r.path.size() < kDirControlPathMax) {
    r.path.push_back(c);
  }
}

void count_up(int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
}

// Moves one level's character on. Returns false when it wrapped back to the
// level's first character (its counter starting over), true otherwise.
bool step_level(DirControl& r, int level) {
  char c = char_at(r, level);
  if (!is_last_of(r, level, c)) {
    set_char(r, level, successor(r, level, c));
    count_up(r.char_index[level]);
    return true;
  }
  set_char(r, level, first_of(r, level));
  r.char_index[level] = r.first_char[level];
  return false;
}

// Steps a level and carries a wrap into the levels above it; when level 0
// wraps too, the whole path starts over.
void increment(DirControl& r, int level) {
  for (int k = level; k >= 0; --k) {
    if (step_level(r, k)) return;
  }
}

// Opens the next level below the current path. The new level's character
// is stepped from the end of the path, which counts: its counter runs one
// ahead of its character until it first wraps, so 0/z (not 0/y) ends the
// first row. Control files on disk carry that count, so it stays.
void descend(DirControl& r, int new_level) {
  r.level = new_level;
  if (r.path.size() < kDirControlPathMax) r.path.push_back('/');
  increment(r, new_level);
}

bool level_full(const DirControl& r, int level) {
  return r.char_index[level] == r.last_char[level];
}

void next_directory(DirControl& r) {
  if (r.path.empty()) {
    r.path.assign(1, first_of(r, 0));
    return;
  }
  int level = std::clamp(r.level, int32_t{0}, kDeepestLevel);
  if (level == 0 && level_full(r, 0)) {
    step_level(r, 0);
    descend(r, 1);
  } else if (level == 1 && level_full(r, 1) && level_full(r, 0)) {
    increment(r, 1);
    descend(r, 2);
  } else {
    increment(r, level);
  }
}

// ---- Free-directory list ----------------------------------------------

std::string free_list_path(const KnownDomain& domain) { return dir_free_list(domain.dir); }

std::optional<KnownDomain> free_list_domain(const DomainName& domain) {
  if (domain.empty()) return std::nullopt;
  std::string looked_up;
  std::optional<KnownDomain> found = find_domain(domain, &looked_up);
  if (!found) fprintf(stderr, "%s: No such domain\n", looked_up.c_str());
  return found;
}

// Where the mailbox's own directory starts in rest: the last occurrence of
// the user name that begins a path component. A name that also occurs
// earlier inside another component ("a" in "local") must not be taken for
// it.
size_t user_component(const std::string& rest, const std::string& user) {
  for (size_t pos = rest.rfind(user); pos != std::string::npos;
       pos = pos == 0 ? std::string::npos : rest.rfind(user, pos - 1)) {
    if (pos == 0 || rest[pos - 1] == '/') return pos;
  }
  return std::string::npos;
}

// The sub-directory, relative to the domain directory, that held the
// mailbox; none when the mailbox sat in the domain directory itself or the
// directory does not hold the domain's name.
std::optional<std::string> freed_slot(const std::string& user, const std::string& domain,
                                      const std::string& mailbox_dir) {
  // A cut directory would free a slot that was never this mailbox's.
  if (!store_path_fits(mailbox_dir, kDirControlPathMax)) return std::nullopt;
  const std::string& text = mailbox_dir;
  size_t at = text.find(domain);
  if (at == std::string::npos) return std::nullopt;
  std::string rest = text.substr(at + domain.size());
  if (rest.starts_with('/')) rest.erase(0, 1);
  size_t user_at = user_component(rest, user);
  if (user_at != std::string::npos) rest.resize(user_at == 0 ? 0 : user_at - 1);
  if (rest.empty()) return std::nullopt;
  return rest;
}

// Adds the entry as the list's last line, under the list's lock, through a
// copy and a rename: a crash never leaves half a line behind. The list keeps
// its owner and mode.
int append_free_entry(const std::string& list, const std::string& entry) {
  std::string lock_path = lock_file_path(list);
  FileLock lock;
  int locked = lock.lock(lock_path);
  if (locked == kErrUpdateFile) {
    fprintf(stderr, "could not open lock file %s: %s\n", lock_path.c_str(), strerror(errno));
  }
  if (locked != 0) return -1;
  // The list itself, never what a link at its name points to: the copy
  // takes the list's contents, owner and mode.
  struct stat old;
  bool existed = lstat(list.c_str(), &old) == 0;
  if (existed && !(S_ISREG(old.st_mode) && old.st_nlink == 1)) return -1;
  TempFile temp(temp_name_for(list));
  LineReader in;
  if (!temp.create() || !in.open(list, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, true)) return -1;
  // The copy takes the list's owner and mode while it is still private;
  // a refused owner or mode does not stop the entry being added.
  if (existed) {
    temp.give_owner(old.st_uid, old.st_gid, false);
    temp.set_mode(old.st_mode & 07777);
  }
  std::string line;
  while (in.next(line)) temp.out().put(line);
  if (in.failed()) return -1;
  temp.out().put(entry);
  return temp.replace(list) != 0 ? -1 : 0;
}

struct FreeLine {
  std::string line;   // the whole line, without its newline
  std::string entry;  // the path it holds
};

std::string trim_blanks(std::string_view text) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// The first line of the list that holds an entry (text before any "#" that
// is not all blank).
std::optional<FreeLine> first_free_line(const std::string& list) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen_regular(list, false), &fclose);
  if (!file) return std::nullopt;
  std::string text;
  char piece[4096];
  for (size_t got; (got = fread(piece, 1, sizeof piece, file.get())) > 0;) text.append(piece, got);
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    // A line without its newline (the last one) is unended.
    bool unended = end == std::string::npos;
    std::string line = text.substr(start, unended ? std::string::npos : end - start);
    if (unended || line.size() + 1 > static_cast<size_t>(kFreeLineBuffer - 1)) {
      fprintf(stderr, "Line No %d in %s Exceeds %d chars\n", number, list.c_str(), kFreeLineBuffer);
      return std::nullopt;
    }
    start = end + 1;
    std::string entry = trim_blanks(std::string_view(line).substr(0, line.find('#')));
    if (!entry.empty()) return FreeLine{line, entry};
  }
  return std::nullopt;
}

}  // namespace

std::string dir_control_path(const std::string& name, uid_t uid) {
  if (!is_domains_level_name(name)) {
    // Callers hand the domain on as its edge normalised it: looked up as it is.
    if (std::optional<KnownDomain> found = find_domain(DomainName::as_stored(name))) {
      return dir_control_file(found->dir);
    }
  }
  std::string home = home_of(uid);
  if (home.empty()) return std::string();
  return domains_dir_control_file(home);
}

StoreError read_dir_control(DirControl& record, const std::string& name, uid_t uid) {
  record = DirControl{};
  std::string location = dir_control_path(name, uid);
  if (location.empty()) return kErrFailed;
  LineReader in;
  // The control file is written back with what was read (the path line
  // among it): a link planted at its name must not be read through.
  if (!in.open(location, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, false)) return kErrFailed;
  std::string line;
  for (int number = 1; number <= 8 && in.next(line); ++number) apply_line(record, number, line);
  return kSuccess;
}

StoreError write_dir_control(const DirControl& record, const std::string& name, uid_t uid, gid_t gid) {
  std::string location = dir_control_path(name, uid);
  if (location.empty()) return kErrFailed;
  TempFile temp(temp_name_for(location));
  if (!temp.create()) return kErrFailed;
  // The owner is given on the private copy, never on the path after the
  // rename; an unprivileged process that cannot give it keeps the file.
  temp.give_owner(uid, gid, false);
  LineWriter& out = temp.out();
  out.put(std::to_string(record.entry_count));
  out.put(std::to_string(record.level));
  out.put(std::to_string(record.max_level));
  out.put(triple_line(record.first_char));
  out.put(triple_line(record.last_char));
  out.put(triple_line(record.char_pos));
  out.put(triple_line(record.char_index));
  out.put(field_text(record.path, kDirControlPathMax + 1));
  return store_code(temp.replace(location) != 0 ? -1 : 0);
}

void dir_control_advance(DirControl& record) {
  ++record.entry_count;
  if (record.entry_count % kEntriesPerDir != 0) return;
  next_directory(record);
}

StoreError dir_control_load(DirControl& record, const std::string& name, uid_t uid) {
  read_dir_control(record, name, uid);
  return kSuccess;
}

std::string dir_control_next(DirControl& record, uid_t uid, gid_t gid) {
  dir_control_advance(record);
  // A directory that cannot be made is reported by make_path; the caller's
  // own mkdir below it then fails and says so.
  if (!record.path.empty()) make_path(record.path, uid, gid);
  return record.path;
}

StoreError dir_control_save(const DirControl& record, const std::string& name, uid_t uid, gid_t gid) {
  return write_dir_control(record, name, uid, gid);
}

StoreError dir_control_release(const std::string& name, uid_t uid, gid_t gid) {
  DirControl record;
  read_dir_control(record, name, uid);
  if (record.entry_count > 0) --record.entry_count;
  return write_dir_control(record, name, uid, gid);
}

StoreError dir_control_delete(const DomainName& domain) {
  std::optional<KnownDomain> found = find_domain(domain);
  if (!found) return kErrFailed;
  return unlink(dir_control_file(found->dir).c_str()) == 0 ? kSuccess : kErrFailed;
}

std::optional<std::string> free_dir_return(const std::string& user, const DomainName& domain,
                                           const std::string& mailbox_dir) {
  std::optional<KnownDomain> found = free_list_domain(domain);
  if (!found) return std::nullopt;
  std::optional<std::string> slot = freed_slot(user, found->name, mailbox_dir);
  if (!slot) return std::nullopt;
  if (append_free_entry(free_list_path(*found), *slot) != 0) return std::nullopt;
  return slot;
}

std::optional<std::string> free_dir_take(const DomainName& domain) {
  std::optional<KnownDomain> found = free_list_domain(domain);
  if (!found) return std::nullopt;
  std::string list = free_list_path(*found);
  std::optional<FreeLine> first = first_free_line(list);
  if (!first) return std::nullopt;
  // The whole line is the prefix, so exactly the line read is the one that
  // goes, whatever blanks or comment it carries.
  if (remove_prefix_lines(first->line, list, 0644, true) != 1) return std::nullopt;
  DirControl record;
  read_dir_control(record, found->name, found->uid);
  if (record.entry_count != 0) ++record.entry_count;
  write_dir_control(record, found->name, found->uid, found->gid);
  return first->entry;
}

StoreError dir_control_lock(FileLock& lock, const std::string& name, uid_t uid, gid_t gid) {
  std::string location = dir_control_path(name, uid);
  if (location.empty()) return kErrFailed;
  std::string lock_path = lock_file_path(location);
  int result = lock.lock_waiting(lock_path, FileLock::kBusyWait);
  if (result == kErrUpdateFile) {
    fprintf(stderr, "could not open lock file %s: %s\n", lock_path.c_str(), strerror(errno));
  }
  // The domain's own user must be able to take the lock too.
  if (result == 0 && !lock.give_owner(uid, gid)) perror("chown dir-control lock");
  return store_code(result);
}

#include "accounts/routing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "accounts/account.h"
#include "accounts/passwd.h"
#include "base/address.h"
#include "base/locked_file.h"
#include "base/password_record.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "base/text.h"
#include "domains/assign.h"
#include "domains/domain.h"
#include "domains/limits.h"

namespace {

constexpr std::string_view kDeliveryProgram = "tdelivermail";
constexpr std::string_view kEmptyArgument = "''";
// qmail-local leaves these to lists and extension catch-alls.
constexpr std::string_view kOwnerPart = "-owner";
constexpr std::string_view kDefaultPart = "-default";

// DIR/.qmail-NAME, with every "." of the name written ":".
std::string alias_file(const std::string& dir, const std::string& name) {
  std::string extension = name;
  std::replace(extension.begin(), extension.end(), '.', ':');
  return dir + "/" + std::string(kDotQmailPrefix) + extension;
}

std::optional<std::string> read_plain(const std::string& path) {
  return read_dot_qmail(PathAt{AT_FDCWD, path}, false);
}

// Replaces path by text through the domain's private copy.
StoreError replace_dot_qmail(const DomainHome& home, const std::string& path,
                             std::string_view text) {
  TempFile copy(temp_name_for(store_file(home.dir, kDotQmailCopyName)));
  if (!copy.create(0600)) return kErrUpdateFile;
  copy.give_owner(home.uid, home.gid, false);
  if (!copy.set_mode(0600)) return kErrUpdateFile;
  copy.out().write(text);
  return copy.replace(path) == 0 ? kSuccess : kErrUpdateFile;
}

// The domain's routing lock, the one its mailboxes' forwards and vacation
// replies are changed under too, owned as its password file's is.
bool take_domain_lock(FileLock& lock, const DomainHome& home) {
  if (lock.lock_waiting(domain_routing_lock(home.dir), FileLock::kBusyWait) != 0) return false;
  lock.give_owner(home.uid, home.gid);
  return true;
}

// The aliases of a directory, read once each.
template <typename Visit>
void each_alias_file(const std::string& dir, Visit visit) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> entries;
  while (const dirent* e = readdir(d)) {
    std::string_view name = e->d_name;
    if (name.starts_with(kDotQmailPrefix)) entries.emplace_back(name);
  }
  closedir(d);
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) {
    std::optional<std::string> text = read_plain(dir + "/" + entry);
    if (text && is_alias_file(entry, *text)) visit(entry, *text);
  }
}

std::string name_of_entry(const std::string& entry) {
  std::string name = entry.substr(kDotQmailPrefix.size());
  std::replace(name.begin(), name.end(), ':', '.');
  return name;
}

// The file text for destinations, each checked; duplicates kept once.
StoreError alias_text(const std::vector<std::string>& destinations, std::string& text) {
  if (destinations.empty()) return kErrBadDestination;
  std::vector<std::string> kept;
  for (const std::string& given : destinations) {
    if (given.size() > kDestinationMax) return kErrAliasLineTooLong;
    std::optional<std::string> address = destination_address(given);
    if (!address) return kErrBadDestination;
    if (std::find(kept.begin(), kept.end(), *address) == kept.end()) kept.push_back(*address);
  }
  for (const std::string& address : kept) text += "&" + address + "\n";
  return kSuccess;
}

// What every alias writer checks before its lock: the domain, the name,
// the destinations, and that no mailbox has the name.
StoreError prepare_alias(const Mailbox& alias, const std::vector<std::string>* destinations,
                         DomainHome& home, std::string& text) {
  std::optional<DomainHome> found = find_domain_home(alias.domain);
  if (!found) return kErrNoDomain;
  home = *found;
  if (StoreError code = alias_name_ok(alias.user); code != kSuccess) return code;
  if (!store_path_fits(alias_file(home.dir, alias.user))) return kErrUserTooLong;
  if (destinations == nullptr) return kSuccess;
  if (StoreError code = alias_text(*destinations, text); code != kSuccess) return code;
  PasswdLookup mailbox = passwd_lookup(alias.user, home.domain);
  if (mailbox.record) return kErrNameIsMailbox;
  if (mailbox.result != kSuccess && mailbox.result != kErrNoUser) return kErrUpdateFile;
  return kSuccess;
}

}  // namespace

bool name_has_dot_qmail(const std::string& domain_dir, const std::string& name) {
  struct stat st;
  return lstat(alias_file(domain_dir, name).c_str(), &st) == 0;
}

namespace {

bool is_alias_at(const std::string& path) {
  std::optional<std::string> text = read_plain(path);
  return text && is_alias_file(path.substr(path.rfind('/') + 1), *text);
}

enum class AliasWrite { kCreate, kChange, kEither };

StoreError write_alias(const Mailbox& alias, const std::vector<std::string>& destinations,
                       AliasWrite how, bool* created = nullptr) {
  DomainHome home;
  std::string text;
  if (StoreError code = prepare_alias(alias, &destinations, home, text); code != kSuccess) {
    return code;
  }
  const std::string path = alias_file(home.dir, alias.user);
  FileLock lock;
  if (!take_domain_lock(lock, home)) return kErrUpdateFile;
  struct stat st;
  const bool exists = lstat(path.c_str(), &st) == 0;
  if (how == AliasWrite::kEither) how = exists ? AliasWrite::kChange : AliasWrite::kCreate;
  if (created != nullptr) *created = how == AliasWrite::kCreate;
  if (how == AliasWrite::kChange) {
    if (!exists || !is_alias_at(path)) return kErrNoAlias;
    return replace_dot_qmail(home, path, text);
  }
  if (exists) return kErrAliasExists;
  domain_limits limits;
  if (get_domain_limits(home.domain, limits) != 0) return kErrDomainLimits;
  if (limits.maxaliases >= 0) {
    int32_t count = 0;
    each_alias_file(home.dir, [&](const std::string&, const std::string&) { ++count; });
    if (count >= limits.maxaliases) return kErrAliasLimit;
  }
  return replace_dot_qmail(home, path, text);
}

bool has_dot(std::string_view domain) {
  return domain.find('.') != std::string_view::npos;
}

}  // namespace

std::optional<std::string> destination_address(std::string_view text) {
  if (text.empty() || text.size() > kDestinationMax) return std::nullopt;
  std::string address(text);
  for (char& c : address) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  size_t at = address.find('@');
  if (at == 0 || at == std::string::npos || address.find('@', at + 1) != std::string::npos) {
    return std::nullopt;
  }
  std::string_view local = std::string_view(address).substr(0, at);
  std::string_view domain = std::string_view(address).substr(at + 1);
  if (user_name_ok(local) != 0 || new_domain_name_ok(domain) != 0 || !has_dot(domain)) {
    return std::nullopt;
  }
  return address;
}

StoreError alias_name_ok(const std::string& name) {
  if (name.size() > kUserNameMax) return kErrUserTooLong;
  if (name.empty() || name == "default" || new_user_name_ok(name) != 0 ||
      name.find_first_of("/:") != std::string::npos ||
      name.find(kOwnerPart) != std::string::npos || name.find(kDefaultPart) != std::string::npos) {
    return kErrBadAliasName;
  }
  return kSuccess;
}

StoreError alias_add(const Mailbox& alias, const std::vector<std::string>& destinations) {
  return write_alias(alias, destinations, AliasWrite::kCreate);
}

StoreError alias_change(const Mailbox& alias, const std::vector<std::string>& destinations) {
  return write_alias(alias, destinations, AliasWrite::kChange);
}

StoreError alias_set(const Mailbox& alias, const std::vector<std::string>& destinations,
                     bool* created) {
  return write_alias(alias, destinations, AliasWrite::kEither, created);
}

StoreError alias_delete(const Mailbox& alias) {
  DomainHome home;
  std::string text;
  if (StoreError code = prepare_alias(alias, nullptr, home, text); code != kSuccess) return code;
  const std::string path = alias_file(home.dir, alias.user);
  FileLock lock;
  if (!take_domain_lock(lock, home)) return kErrUpdateFile;
  if (!is_alias_at(path)) return kErrNoAlias;
  return unlink(path.c_str()) == 0 ? kSuccess : kErrUpdateFile;
}

std::optional<std::vector<AliasEntry>> alias_list(const DomainName& domain) {
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) {
    last_error = kErrNoDomain;
    return std::nullopt;
  }
  std::vector<AliasEntry> aliases;
  each_alias_file(home->dir, [&](const std::string& entry, const std::string& text) {
    aliases.push_back({name_of_entry(entry), alias_destinations(text)});
  });
  return aliases;
}

std::optional<AliasEntry> alias_find(const Mailbox& alias) {
  DomainHome home;
  std::string unused;
  if (StoreError code = prepare_alias(alias, nullptr, home, unused); code != kSuccess) {
    last_error = code;
    return std::nullopt;
  }
  const std::string path = alias_file(home.dir, alias.user);
  std::optional<std::string> text = read_plain(path);
  if (!text || !is_alias_file(path.substr(path.rfind('/') + 1), *text)) {
    last_error = kErrNoAlias;
    return std::nullopt;
  }
  return AliasEntry{alias.user, alias_destinations(*text)};
}

std::vector<std::string> alias_destinations(std::string_view text) {
  std::vector<std::string> destinations;
  for (const DotQmailLine& line : delivery_lines(text)) {
    destinations.emplace_back(line.kind == DotQmailKind::kForward ? line.text : line.line);
  }
  return destinations;
}

bool is_alias_file(std::string_view entry, std::string_view text) {
  if (!entry.starts_with(kDotQmailPrefix)) return false;
  if (entry.find(kOwnerPart) != std::string_view::npos ||
      entry.find(kDefaultPart) != std::string_view::npos) {
    return false;
  }
  std::string_view piece;
  return !(next_piece(text, piece) && piece[0] == '|');
}

std::optional<std::string> delivery_argument(std::string_view line) {
  if (line.find(kDeliveryProgram) == std::string_view::npos) return std::nullopt;
  size_t quotes = line.find(kEmptyArgument);
  if (quotes == std::string_view::npos) return std::nullopt;
  size_t blank = line.find(' ', quotes);
  if (blank == std::string_view::npos) return std::nullopt;
  std::string argument(line.substr(blank));
  trim_blanks(argument);
  return argument;
}

std::optional<CatchAll> catchall_get(const DomainName& domain) {
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) {
    last_error = kErrNoDomain;
    return std::nullopt;
  }
  CatchAll catchall;
  std::string_view text, piece;
  std::optional<std::string> file = read_plain(qmail_default_file(home->dir));
  if (file) text = *file;
  next_piece(text, piece, kDotQmailWholeLine);
  catchall.line = std::string(piece.ends_with('\n') ? piece.substr(0, piece.size() - 1) : piece);
  std::optional<std::string> argument = delivery_argument(catchall.line);
  if (!argument) return catchall;
  NoMailbox action = parse_no_mailbox(*argument);
  catchall.kind = action.kind;
  catchall.target = action.target;
  // The mailbox as account deletion names it: the last component of a path
  // inside the domain's directory.
  if (action.kind == NoMailboxKind::kPath &&
      action.target.find(home->dir) != std::string::npos) {
    std::string dir = action.target;
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    catchall.mailbox = dir.substr(dir.rfind('/') + 1);
  }
  return catchall;
}

StoreError catchall_set(const DomainName& domain, const std::string& choice) {
  std::optional<DomainHome> home = find_domain_home(domain);
  if (!home) return kErrNoDomain;
  std::string argument;
  if (choice == "bounce") {
    argument = kBounceNoMailbox;
  } else if (choice == "delete") {
    argument = kDeleteNoMailbox;
  } else if (choice.find('@') != std::string::npos) {
    std::optional<std::string> address = destination_address(choice);
    if (!address) return kErrBadDestination;
    argument = *address;
  } else {
    std::string user = choice;
    lower_name(user);
    std::optional<password_record> record = passwd_find(user, home->domain);
    if (!record) return kErrNoUser;
    argument = record->dir;
  }
  const std::string line = delivery_line(argument);
  FileLock lock;
  if (!take_domain_lock(lock, *home)) return kErrUpdateFile;
  return replace_dot_qmail(*home, qmail_default_file(home->dir), line);
}

const char* routing_error_string(int32_t code) {
  switch (code) {
    case kErrAliasExists: return "Alias already exists";
    case kErrNoAlias: return "Alias does not exist";
    case kErrAliasLimit: return "The domain's alias limit is reached";
    case kErrBadDestination: return "Destination is no mail address";
    case kErrNameIsMailbox: return "A mailbox has that name";
    case kErrBadAliasName: return "Invalid alias name";
    case kErrForwardLimit: return "The domain's forward limit is reached";
    case kErrVacationLimit: return "The domain's vacation reply limit is reached";
    case kErrBadDate: return "Invalid last day: give it as YYYY-MM-DD";
    case kErrBadSubject: return "Invalid vacation subject";
    case kErrBadText: return "Invalid vacation text";
    case kErrTooManyForwards: return "Too many forwards";
    case kErrForeignLines: return "The mailbox's .qmail holds delivery lines of its own";
    default: return error_string(code);
  }
}

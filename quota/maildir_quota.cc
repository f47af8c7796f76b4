// The quota entry points that the account code calls: rebuilding an
// account's maildirsize after its quota changed, the usage percentage (from
// the usage daemon when it answers), and the address a maildir belongs to.
#include "quota/maildir_quota.h"

#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <map>
#include <vector>

#include "base/safe_path.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"
#include "quota/quota_rules.h"
#include "usage/usage_client.h"

namespace {

// maildir_to_email's result buffer and the working directory it may take in.
constexpr size_t kEmailBuffer = 256;
constexpr size_t kCwdMax = 300;

struct MaildirQuotaState {
  std::string email;  // the last result of maildir_to_email
  // What the usage daemon said of each mailbox asked in this process (one
  // request): the size it answered, or none when it did not answer. A
  // second question would only cost another connection, and of a silent
  // daemon another time-out and message; such a mailbox is counted from
  // its files instead.
  std::map<std::string, std::optional<uint64_t>> daemon_sizes;
};
MaildirQuotaState quota_state;

// The daemon's size for the mailbox, asked once per process.
std::optional<uint64_t> daemon_size(const std::string& email) {
  auto known = quota_state.daemon_sizes.find(email);
  if (known != quota_state.daemon_sizes.end()) return known->second;
  uint64_t size = 0, count = 0;
  std::optional<uint64_t> answer;
  if (query_usage(email.c_str(), &size, &count) == 1) answer = size;
  quota_state.daemon_sizes.emplace(email, answer);
  return answer;
}

// The "/"-separated parts of a path, empty ones left out.
std::vector<std::string_view> path_parts(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// Where the account's own part of a maildir path ends: at its last
// "/Maildir/" past the first character, or at a final "/Maildir".
std::optional<size_t> account_end(std::string_view path) {
  size_t cut = maildir_suffix_at(path);
  if (cut == std::string_view::npos) return std::nullopt;
  return cut;
}

// A "./" path with the working directory in place of its ".".
std::optional<std::string> absolute_path(std::string_view path) {
  if (!path.starts_with("./")) return std::string(path);
  char cwd[kCwdMax + 1];
  if (!getcwd(cwd, sizeof cwd)) return std::nullopt;
  return std::string(cwd) + std::string(path.substr(1));
}

// The daemon's answer as a percentage of the size limit; the daemon's
// "unknown" (all ones) and a missing size limit are 0.
int daemon_percent(uint64_t size, const std::string& quota_text) {
  uint64_t size_limit = 0, count_limit = 0;
  if (size == std::numeric_limits<uint64_t>::max()) return 0;
  parse_quota_spec(quota_text.c_str(), &size_limit, &count_limit);
  if (size_limit == 0) return 0;
  return percent_of(size, size_limit);
}

}  // namespace

const std::string& maildir_to_email(std::string_view given) {
  std::string& email = quota_state.email;
  email.clear();
  std::optional<std::string> path = absolute_path(given);
  if (!path) return email;
  std::optional<size_t> end = account_end(*path);
  if (!end) return email;
  std::vector<std::string_view> parts = path_parts(std::string_view(*path).substr(0, *end));
  if (parts.empty()) return email;
  std::string_view user = parts.back();
  parts.pop_back();
  for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
    // Hashing levels ("0", "A") carry no dot; "." and ".." are no names.
    if (part->find('.') == std::string_view::npos || *part == "." || *part == "..") continue;
    std::string address = std::string(user) + "@" + std::string(*part);
    // A cut address would name somebody else's mailbox.
    if (address.size() < kEmailBuffer) email = address;
    break;
  }
  return email;
}

int maildir_quota_percent(const std::string& maildir, const std::string& quota_text) {
  std::string email = maildir_to_email(maildir);
  std::optional<uint64_t> size = email.empty() ? std::nullopt : daemon_size(email);
  if (size) return daemon_percent(*size, quota_text);
  int fd = -1, percent = 0;
  check_maildir_quota(maildir, &fd, quota_text.c_str(), 0, 0, &percent);
  if (fd >= 0) close(fd);
  return percent;
}

void forget_daemon_usage() { quota_state.daemon_sizes.clear(); }

int mailbox_use_percent(const std::string& home, const std::string& quota_text) {
  if (quota_text.empty() || quota_text == "NOQUOTA") return 0;
  return maildir_quota_percent(mailbox_maildir(home), quota_text);
}

std::string mailbox_use_text(const std::string& home, const std::string& quota_text) {
  return std::to_string(mailbox_use_percent(home, quota_text)) + "%";
}

void update_maildirsize(const DomainName& domain, const std::string& home,
                        const std::string& quota_text) {
  std::string maildir = mailbox_maildir(home);
  std::string file = maildir_size_file(maildir);
  // A cut path would name some other file; such a home is left alone.
  if (!store_path_fits(file)) return;
  int fd = open_no_link(file, O_RDWR | O_NONBLOCK);
  if (fd >= 0) {
    close(fd);
    unlink(file.c_str());
  }
  if (quota_text == "NOQUOTA") return;
  umask(077);
  maildir_quota_percent(maildir, quota_text);
  std::optional<DomainHome> owner = find_domain_home(domain);
  if (!owner) return;
  // The link itself, never a target someone put in its place.
  if (lchown(file.c_str(), owner->uid, owner->gid) != 0) {
    // no file (the daemon answered) or not allowed: nothing to hand over
  }
}

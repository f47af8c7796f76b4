// tessera domain usage [NAME]: for one real domain or each, its mailboxes,
// the sum of their quotas and of their use, and the mailboxes over 90% of
// their quota.
//
// A mailbox with a quota is judged by the quota routines themselves, so its
// maildirsize is recounted exactly when a delivery would recount it (missing,
// stale, too large, or over quota without being sure); its use is then read
// from that file. A mailbox without a quota keeps no maildirsize of its own
// and is never counted here: its use is what a current maildirsize says, if
// one is there, else nothing.
#include <unistd.h>

#include <cstdio>

#include "accounts/passwd.h"
#include "base/error.h"
#include "base/store_layout.h"
#include "cli/command.h"
#include "cli/json.h"
#include "domains/assign.h"
#include "quota/maildir_quota.h"

namespace {

constexpr int kFullPercent = 90;

struct FullMailbox {
  std::string name;
  std::string quota;
  int percent = 0;
};

struct DomainUsage {
  std::string name;
  uint64_t mailboxes = 0, without_quota = 0;
  uint64_t quota_bytes = 0, quota_messages = 0;
  uint64_t used_bytes = 0, used_messages = 0;
  std::vector<FullMailbox> full;
};

uint64_t add_capped(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

struct MaildirUse {
  uint64_t bytes = 0, messages = 0;
};

MaildirUse current_use(const std::string& maildir) {
  MaildirUse use;
  int fd = -1, lines = 0;
  struct stat status;
  if (read_maildirsize(maildir_size_file(maildir), &fd, &use.bytes, &use.messages, &lines, &status) ==
      0) {
    close(fd);
  }
  return use;
}

void count_mailbox(DomainUsage& usage, const password_record& record) {
  ++usage.mailboxes;
  std::string maildir = mailbox_maildir(record.dir);
  uint64_t size_limit = 0, count_limit = 0;
  parse_quota_spec(record.quota.c_str(), &size_limit, &count_limit);
  bool limited = record.quota != "NOQUOTA" && (size_limit != 0 || count_limit != 0);
  int percent = 0;
  if (limited) {
    int fd = -1;
    check_maildir_quota(maildir, &fd, record.quota.c_str(), 0, 0, &percent);
    if (fd >= 0) close(fd);
    usage.quota_bytes = add_capped(usage.quota_bytes, size_limit);
    usage.quota_messages = add_capped(usage.quota_messages, count_limit);
  } else {
    ++usage.without_quota;
  }
  MaildirUse use = current_use(maildir);
  usage.used_bytes = add_capped(usage.used_bytes, use.bytes);
  usage.used_messages = add_capped(usage.used_messages, use.messages);
  if (limited && percent > kFullPercent) usage.full.push_back({record.name, record.quota, percent});
}

DomainUsage measure_domain(const DomainName& domain) {
  DomainUsage usage;
  usage.name = domain;
  PasswdListing listing(domain);
  for (const password_record* record = listing.next(); record;
       record = listing.next()) {
    count_mailbox(usage, *record);
  }
  return usage;
}

std::string usage_json(const DomainUsage& usage) {
  std::vector<std::string> full;
  for (const FullMailbox& mailbox : usage.full) {
    full.push_back(JsonObject()
                       .text("name", mailbox.name)
                       .text("quota", mailbox.quota)
                       .number("quota_use_percent", mailbox.percent)
                       .object());
  }
  return JsonObject()
      .text("name", usage.name)
      .unsigned_number("mailboxes", usage.mailboxes)
      .unsigned_number("without_quota", usage.without_quota)
      .unsigned_number("quota_bytes", usage.quota_bytes)
      .unsigned_number("quota_messages", usage.quota_messages)
      .unsigned_number("used_bytes", usage.used_bytes)
      .unsigned_number("used_messages", usage.used_messages)
      .document("over_90_percent", json_array(full))
      .object();
}

void print_usage(const DomainUsage& usage) {
  printf("domain: %s\n", usage.name.c_str());
  printf("mailboxes: %ju (%ju without quota)\n", static_cast<uintmax_t>(usage.mailboxes),
         static_cast<uintmax_t>(usage.without_quota));
  printf("quota: %ju bytes, %ju messages\n", static_cast<uintmax_t>(usage.quota_bytes),
         static_cast<uintmax_t>(usage.quota_messages));
  printf("used: %ju bytes, %ju messages\n", static_cast<uintmax_t>(usage.used_bytes),
         static_cast<uintmax_t>(usage.used_messages));
  for (const FullMailbox& mailbox : usage.full) {
    printf("over 90%%: %s %d%%\n", mailbox.name.c_str(), mailbox.percent);
  }
}

// The real domains of the assignment table, in its order.
std::optional<std::vector<DomainName>> real_domains() {
  std::vector<DomainName> names;
  const DomainName all;
  AssignEntries entries(all);
  if (!entries.opened()) return std::nullopt;
  for (const AssignEntry* entry = entries.next(); entry; entry = entries.next()) {
    if (entry->name == entry->real_domain) names.push_back(entry->name);
  }
  return names;
}

}  // namespace

int domain_usage(const Words& names) {
  std::vector<DomainName> domains;
  if (names.empty()) {
    std::optional<std::vector<DomainName>> all = real_domains();
    if (!all) return report_failure(kErrAssignFile);
    domains = *all;
  } else {
    std::optional<DomainHome> home = find_domain_home(DomainName(names[0]));
    if (!home) return report_failure(kErrNoDomain);
    domains.push_back(home->domain);  // the real domain's
  }
  std::vector<std::string> documents;
  for (size_t i = 0; i < domains.size(); ++i) {
    DomainUsage usage = measure_domain(domains[i]);
    if (json_output()) {
      documents.push_back(usage_json(usage));
    } else {
      if (i > 0) putchar('\n');
      print_usage(usage);
    }
  }
  if (json_output()) print_json(names.empty() ? json_array(documents) : documents[0]);
  return 0;
}

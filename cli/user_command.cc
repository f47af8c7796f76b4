// tessera user add|del|show|list|passwd|quota (import: import_command.cc; the
// password of add and passwd: password_input.cc; forward and vacation:
// mailbox_routing_command.cc).
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "accounts/account.h"
#include "accounts/passwd.h"
#include "base/error.h"
#include "cli/account_view.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/mailbox.h"
#include "domains/assign.h"
#include "quota/maildir_quota.h"
#include "quota/quota_input.h"

namespace {

constexpr time_t kSecondsPerDay = 86400;

// The quota as administrators type it anywhere (quota_input); a text that
// would not be stored as meant is refused before the store is asked. The
// store then normalises the typed text to just what quota_input gave (and
// judges its length as typed, as for an import's quota column); the line
// says what the store now holds.
int set_quota(Mailbox& mailbox, const std::string& typed) {
  std::optional<std::string> quota = quota_input(typed);
  if (!quota) return report_failure(quota_not_understood(typed).c_str());
  int code = set_user_quota(mailbox, typed);
  std::optional<password_record> record;
  if (code == 0) record = passwd_find(mailbox.user, mailbox.domain);
  std::string stored = record ? record->quota : *quota;
  return report_done(code, mailbox.user + "@" + mailbox.domain.str(),
                     stored.empty() ? "quota set to no limit" : "quota set to " + stored);
}

int show_user(const Mailbox& mailbox) {
  // The view names the domain that holds the mail: an alias's real one.
  DomainName domain = mailbox.domain;
  if (std::optional<DomainHome> home = find_domain_home(mailbox.domain)) domain = home->domain;
  std::optional<password_record> found = passwd_find(mailbox.user, domain);
  if (!found) return report_failure(kErrNoUser);
  password_record record = *found;
  int percent = mailbox_use_percent(record.dir, record.quota);
  LastLogin login = last_login_of(record);
  if (json_output()) {
    JsonObject object = account_json(record);
    object.text("domain", domain).number("quota_use_percent", percent);
    add_last_login(object, login);
    show_routing(Mailbox(record.name, domain), &object);
    print_json(object.object());
    return 0;
  }
  printf("%s\n", stored_line(record).c_str());
  printf("flags: 0x%x\n", static_cast<unsigned>(record.flags));
  printf("quota: %d%%\n", percent);
  printf("last login: %s\n", last_login_text(login).c_str());
  show_routing(Mailbox(record.name, domain), nullptr);
  return 0;
}

int list_users(const DomainName& domain) {
  if (!domain_exists(domain)) return report_failure(kErrNoDomain);
  std::vector<std::string> documents;
  PasswdListing listing(domain);
  for (const password_record* record = listing.next(); record;
       record = listing.next()) {
    if (json_output()) {
      documents.push_back(account_json(*record).object());
    } else {
      printf("%s\n", stored_line(*record).c_str());
    }
  }
  if (json_output()) print_json(json_array(documents));
  return 0;
}

// A whole number of days, as typed: digits only, small enough that the
// cut-off stays a valid time.
std::optional<time_t> parse_days(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  time_t days = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    days = days * 10 + (c - '0');
  }
  return days;
}

struct StaleMailbox {
  password_record record;
  LastLogin login;
};

// The mailboxes not logged in for DAYS days, never-used ones first, then
// the oldest login first; equal times keep the file's order.
int list_inactive(const DomainName& domain, time_t days) {
  if (!domain_exists(domain)) return report_failure(kErrNoDomain);
  time_t cutoff = time(nullptr) - days * kSecondsPerDay;
  std::vector<StaleMailbox> stale;
  PasswdListing listing(domain);
  for (const password_record* record = listing.next(); record;
       record = listing.next()) {
    LastLogin login = last_login_of(*record);
    if (!login.from || login.when < cutoff) stale.push_back({*record, login});
  }
  std::stable_sort(stale.begin(), stale.end(), [](const StaleMailbox& a, const StaleMailbox& b) {
    if (!a.login.from || !b.login.from) return !a.login.from && b.login.from;
    return a.login.when < b.login.when;
  });
  std::vector<std::string> documents;
  for (const StaleMailbox& mailbox : stale) {
    if (json_output()) {
      JsonObject object = account_json(mailbox.record);
      add_last_login(object, mailbox.login);
      documents.push_back(object.object());
    } else {
      printf("%s\t%s\n", mailbox.record.name.c_str(), last_login_text(mailbox.login).c_str());
    }
  }
  if (json_output()) print_json(json_array(documents));
  return 0;
}

int list_command(const Words& words) {
  if (words.size() == 2) return list_users(DomainName(words[1]));
  if (words.size() != 4 || words[2] != "--inactive") return kUsageStatus;
  std::optional<time_t> days = parse_days(words[3]);
  if (!days) return kUsageStatus;
  return list_inactive(DomainName(words[1]), *days);
}

// Commands on one mailbox: their name and the number of words after the
// address that each takes (add may leave the full name out, add and passwd
// the password: it is then asked on the terminal).
bool known_shape(const std::string& command, size_t extra) {
  if (command == "add") return extra <= 2;
  if (command == "del" || command == "show") return extra == 0;
  if (command == "passwd") return extra <= 1;
  if (command == "quota") return extra == 1;
  return false;
}

// The password of add or passwd: "-" reads it from standard input, none
// asks on the terminal, any other word is the password (the old form, which
// leaves it readable in the process list while the tool runs).
std::optional<std::string> password_of(const Words& words) {
  if (words.size() < 3) return password_from_terminal();
  if (words[2] == "-") return password_from_stdin();
  return words[2];
}

int mailbox_command(const Words& words) {
  const std::string& command = words[0];
  bool takes_password = command == "add" || command == "passwd";
  if (takes_password && words.size() < 3 && !isatty(STDIN_FILENO)) {
    fputs("tessera: no PASSWORD, and standard input is no terminal to ask on: "
          "give - and the password on standard input\n",
          stderr);
    return kUsageStatus;
  }
  Mailbox mailbox;
  if (int code = parse_mailbox(words[1], mailbox); code != 0) return report_failure(code);
  const std::string address = mailbox.user + "@" + mailbox.domain.str();
  if (command == "del") {
    return report_done(delete_account(mailbox), address, "mailbox removed");
  }
  if (command == "show") return show_user(mailbox);
  if (command == "quota") return set_quota(mailbox, words[2]);
  std::optional<std::string> password = password_of(words);
  if (!password) return 1;
  if (command == "passwd") {
    return report_done(change_password(mailbox, *password), address,
                       "password changed");
  }
  std::string gecos = words.size() > 3 ? words[3] : "";
  return report_done(create_mailbox(mailbox, *password, gecos), address, "mailbox created");
}

}  // namespace

int user_command(const Words& words) {
  if (words.size() < 2) return kUsageStatus;
  if (words[0] == "list") return list_command(words);
  if (words[0] == "import") return import_command(Words(words.begin() + 1, words.end()));
  if (words[0] == "forward" || words[0] == "vacation") return routing_command(words);
  if (!known_shape(words[0], words.size() - 2)) return kUsageStatus;
  return mailbox_command(words);
}

// tessera user add|del|show|list|passwd|quota.
#include <cinttypes>
#include <cstdio>

#include "accounts/account.h"
#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "base/address.h"
#include "base/error.h"
#include "cli/command.h"
#include "domains/assign.h"
#include "quota/maildir_quota.h"

namespace {

int finish(int code) { return code == 0 ? 0 : report_failure(code); }

struct Mailbox {
  std::string user;
  std::string domain;
};

// USER@DOMAIN split as the pages split it; the default domain fills in a
// missing one. The domain is checked first, so an unknown domain always
// reads "Domain does not exist".
int parse_mailbox(const std::string& address, Mailbox& mailbox) {
  std::string text = address;
  if (split_address(text, mailbox.user, mailbox.domain) != 0) {
    return kErrIllegalUsername;
  }
  if (!domain_exists(mailbox.domain)) return kErrNoDomain;
  return 0;
}

void print_line(const password_record& record) {
  printf("%s:%s:%d:%d:%s:%s:%s\n", record.name.c_str(), record.password.c_str(), record.uid,
         record.gid, record.gecos.c_str(), record.dir.c_str(), record.quota.c_str());
}

int usage_percent(const password_record& record) {
  if (record.quota.empty() || record.quota == "NOQUOTA") return 0;
  return maildir_quota_percent(record.dir + "/Maildir/", record.quota);
}

int show_user(Mailbox& mailbox) {
  const password_record* found = passwd_get(mailbox.user, mailbox.domain);
  if (!found) return report_failure(kErrNoUser);
  password_record record = *found;
  print_line(record);
  printf("flags: 0x%x\n", static_cast<unsigned>(record.flags));
  printf("quota: %d%%\n", usage_percent(record));
  std::string address = lastauth_text(record).value_or("");
  while (!address.empty() && (address.back() == '\n' || address.back() == '\r')) {
    address.pop_back();
  }
  printf("last login: %jd%s%s\n", static_cast<intmax_t>(lastauth_time(record)),
         address.empty() ? "" : " ", address.c_str());
  return 0;
}

int list_users(std::string domain) {
  if (!domain_exists(domain)) return report_failure(kErrNoDomain);
  for (password_record* record = passwd_iterate(domain, 1); record;
       record = passwd_iterate(domain, 0)) {
    print_line(*record);
  }
  return 0;
}

// Commands on one mailbox: their name and the number of words after the
// address that each takes (add may leave the full name out).
bool known_shape(const std::string& command, size_t extra) {
  if (command == "add") return extra == 1 || extra == 2;
  if (command == "del" || command == "show") return extra == 0;
  if (command == "passwd" || command == "quota") return extra == 1;
  return false;
}

int mailbox_command(const Words& words) {
  const std::string& command = words[0];
  Mailbox mailbox;
  if (int code = parse_mailbox(words[1], mailbox); code != 0) return report_failure(code);
  if (command == "add") {
    std::string gecos = words.size() > 3 && !words[3].empty() ? words[3] : mailbox.user;
    return finish(add_account(mailbox.user, mailbox.domain, words[2], gecos));
  }
  if (command == "del") return finish(delete_account(mailbox.user, mailbox.domain));
  if (command == "show") return show_user(mailbox);
  if (command == "passwd") return finish(change_password(mailbox.user, mailbox.domain, words[2]));
  return finish(set_user_quota(mailbox.user, mailbox.domain, words[2]));
}

}  // namespace

int user_command(const Words& words) {
  if (words.size() < 2) return kUsageStatus;
  if (words[0] == "list") return words.size() == 2 ? list_users(words[1]) : kUsageStatus;
  if (!known_shape(words[0], words.size() - 2)) return kUsageStatus;
  return mailbox_command(words);
}

// Showing one mailbox; see account_view.h.
#include "cli/account_view.h"

#include "accounts/lastauth.h"

namespace {

struct FlagName {
  int32_t bit;
  const char* name;
};

constexpr FlagName kFlagNames[] = {
    {kDisablePasswordChanging, "disable_password_changing"},
    {kDisablePop, "disable_pop"},
    {kDisableWebmail, "disable_webmail"},
    {kDisableImap, "disable_imap"},
    {kBounceMail, "bounce_mail"},
    {kDisableExternalRelay, "disable_external_relay"},
    {kDisableDialup, "disable_dialup"},
    {kDisableSmtp, "disable_smtp"},
    {kDomainAdmin, "domain_admin"},
    {kIgnoreDomainLimits, "ignore_domain_limits"},
    {kDisableSpamassassin, "disable_spamassassin"},
    {kDeleteSpam, "delete_spam"},
    {kDisableMaildrop, "disable_maildrop"},
};

}  // namespace

std::string stored_line(const password_record& record) {
  return record.name + ":" + record.password + ":" + std::to_string(record.uid) + ":" +
         std::to_string(record.gid) + ":" + record.gecos + ":" + record.dir + ":" + record.quota;
}

std::vector<std::string> flag_names(int32_t flags) {
  std::vector<std::string> names;
  for (const FlagName& flag : kFlagNames) {
    if (flags & flag.bit) names.push_back(flag.name);
  }
  return names;
}

LastLogin last_login_of(const password_record& record) {
  LastLogin login;
  // The mark creation writes is no login: its time is the creation's.
  login.when = lastauth_login_time(record);
  if (login.when != 0) login.from = lastauth_address(record);
  return login;
}

std::string last_login_text(const LastLogin& login) {
  if (!login.from) return "never";
  struct tm utc;
  char when[64];
  if (!gmtime_r(&login.when, &utc) || strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc) == 0) {
    return "never";
  }
  return std::string(when) + " UTC from " + *login.from;
}

JsonObject account_json(const password_record& record) {
  JsonObject object;
  object.text("name", record.name)
      .text("password", record.password)
      .number("uid", record.uid)
      .number("gid", record.gid)
      .text("full_name", record.gecos)
      .text("dir", record.dir)
      .text("quota", record.quota)
      .number("flags", record.flags)
      .document("flag_names", json_text_array(flag_names(record.flags)));
  return object;
}

void add_last_login(JsonObject& object, const LastLogin& login) {
  if (!login.from) {
    object.null("last_login").null("last_login_from");
    return;
  }
  object.number("last_login", static_cast<int64_t>(login.when)).text("last_login_from", *login.from);
}

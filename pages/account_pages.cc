#include "pages/account_pages.h"

#include <crypt.h>

#include <cstdio>

#include "accounts/account.h"
#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "base/address.h"
#include "base/error.h"
#include "base/mailbox.h"
#include "base/text.h"
#include "quota/maildir_quota.h"
#include "quota/quota_input.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/page.h"

namespace {

constexpr char kMainPage[] = "html/main.html";
constexpr char kAddPage[] = "html/add_user.html";
constexpr char kDeletePage[] = "html/del_user.html";
constexpr char kViewPage[] = "html/view_user.html";
constexpr char kAccountPage[] = "html/mod_user.html";

constexpr char kNeverLoggedIn[] = "never logged in";

// Ends the request on `page_path` with one message.
[[noreturn]] void finish(std::string_view message, const char* page_path) {
  add_message(message);
  print_final_page(page_path);
}

bool given(const char* value) { return value != nullptr && value[0] != '\0'; }

// A message made from a format with one or two texts, cut to what the
// shared 500-byte message buffer holds.
std::string formatted(const char* format, const std::string& first,
                      const std::string& second = std::string()) {
  char buffer[kTextField];
  std::snprintf(buffer, sizeof buffer, format, first.c_str(), second.c_str());
  return buffer;
}

// The address of the form, split into user and domain. The address itself
// is left lower-cased (and cut) by the split, as every message shows it.
// The mailbox stays as the form named it; domain becomes the real domain's
// name once the account is looked up.
struct SplitAddress {
  std::string address;
  std::string user;
  DomainName domain;
  Mailbox mailbox;
  int result = 0;
};

SplitAddress split_form_address(const char* eaddr) {
  ParsedAddress parsed = parse_address(eaddr);
  SplitAddress split;
  split.address = std::move(parsed.address);
  split.user = parsed.mailbox.user;
  split.domain = parsed.mailbox.domain;
  split.mailbox = std::move(parsed.mailbox);
  split.result = parsed.result;
  return split;
}

// The stored record, or none; an alias domain's name becomes its real
// domain's, which the page then shows and changes.
std::optional<password_record> find_account(SplitAddress& split) {
  if (std::optional<DomainHome> home = find_domain_home(split.domain)) {
    split.domain = home->domain;
  }
  return passwd_find(split.user, split.domain);
}

// The stored form of the quota field into `stored` (left none when the
// field is empty). A text that would not be stored as meant adds the
// refusal to the messages and gives false: the caller changes nothing.
bool read_typed_quota(const char* quota, std::optional<std::string>& stored) {
  if (!given(quota)) return true;
  stored = quota_input(quota);
  if (!stored) add_message(quota_not_understood(quota));
  return stored.has_value();
}

const char* flag_view(const password_record& record, int32_t bit) {
  return (record.gid & bit) != 0 ? "CHECKED" : "";
}

// The account's domain as a link value: a domain name passes unchanged.
std::string domain_link_value(const std::string& domain) { return url_encode(domain); }

}  // namespace

int32_t form_account_flags() {
  int32_t flags = 0;
  for (const AccountFlagBox& box : kAccountFlagBoxes) {
    if (form_value(box.field) != nullptr) flags |= box.bit;
  }
  return flags;
}

std::string last_login_time_text(time_t when) {
  if (when == 0) return kNeverLoggedIn;
  struct tm local;
  char text[64];
  if (localtime_r(&when, &local) == nullptr || asctime_r(&local, text) == nullptr) {
    return kNeverLoggedIn;
  }
  return text;
}

std::string last_login_address_text(const std::optional<std::string>& address) {
  if (lastauth_never(address)) return kNeverLoggedIn;
  return *address;
}

int set_new_password(password_record& record, const std::string& clear, CryptFunction crypt) {
  if ((record.gid & kDisablePasswordChanging) != 0) return 0;
  std::string hashed;
  int code = hash_password_with(crypt, clear, hashed);
  if (code != 0) return code;
  record.password = hashed;
  record.clear_password = clear;
  return 0;
}

void fill_account_view(const std::string& address, const password_record& record,
                       const std::string& domain) {
  set_page_var("UA", address);
  set_page_var("UN", record.gecos);
  set_page_var("UQ", record.quota);
  set_page_var("UD", record.dir);
  for (const AccountFlagBox& box : kAccountFlagBoxes) {
    set_page_var(box.view_key, flag_view(record, box.bit));
  }
  set_page_var("UT", last_login_time_text(lastauth_login_time(record)));
  set_page_var("UZ", last_login_address_text(lastauth_text(record)));
  set_page_var("UU", mailbox_use_text(record.dir, record.quota));
  set_page_var("DN", domain_link_value(domain));
  set_page_var("UE", url_encode(address));
  print_final_page(kAccountPage);
}

void add_user() {
  const char* eaddr = form_value("eaddr");
  const char* fname = form_value("fname");
  const char* cpass = form_value("cpass");
  const char* quota = form_value("quota");
  if (!given(eaddr)) finish("Add Email Account: Failed: no email address given", kAddPage);
  SplitAddress split = split_form_address(eaddr);
  if (split.result != 0) {
    finish("Add Email Account: Failled: invalid characters in email address ", kAddPage);
  }
  if (find_account(split)) finish("Add User: Failed: account already exist", kAddPage);
  // Without the field there is no password at all; an empty one is a
  // choice the form made.
  if (cpass == nullptr) finish("Add Email Account: Failed: no password given", kAddPage);
  std::optional<std::string> quota_text;
  if (!read_typed_quota(quota, quota_text)) print_final_page(kAddPage);

  const std::string full_name = given(fname) ? fname : split.user;
  const int created = add_account(Mailbox(split.user, split.domain), cpass, full_name);
  if (created != 0) {
    add_message(formatted("Create Account %s error %s", split.address, error_string(created)));
  } else {
    add_message(formatted("Email Account %s created", split.address));
  }
  // A failed creation may still leave a complete account (its last-login
  // record alone failed); an account another request created meanwhile is
  // not this page's to change.
  std::optional<password_record> record = find_account(split);
  if (!record || created == kErrUsernameExists) print_final_page(kMainPage);
  record->gid = form_account_flags();
  if (quota_text) record->quota = *quota_text;
  if (passwd_update(*record, split.domain) != 0) {
    add_message(formatted("Add Account: Failure:  %s set options", split.address));
  }
  fill_account_view(split.address, *record, split.domain);
}

void del_user() {
  const char* eaddr = form_value("eaddr");
  if (!given(eaddr)) finish("Delete Email Account: Failed: no email address given", kDeletePage);
  SplitAddress split = split_form_address(eaddr);
  const int deleted = delete_account(split.mailbox);
  if (deleted != 0) finish(error_string(deleted), kMainPage);
  finish(formatted("Email Acount %s deleted", split.address), kMainPage);
}

void view_user() {
  const char* eaddr = form_value("eaddr");
  if (!given(eaddr)) finish("Add Email Account: Failed: no email address given", kViewPage);
  SplitAddress split = split_form_address(eaddr);
  std::optional<password_record> record = find_account(split);
  if (!record) finish("View User: account does not exist", kViewPage);
  fill_account_view(split.address, *record, split.domain);
}

void mod_user() {
  const char* eaddr = form_value("eaddr");
  const char* fname = form_value("fname");
  const char* cpass = form_value("cpass");
  const char* quota = form_value("quota");
  if (!given(eaddr)) finish("Modify Email Account: Failed: no email address given", kAccountPage);
  SplitAddress split = split_form_address(eaddr);
  std::optional<password_record> record = find_account(split);
  if (!record) finish("Modify User: account does not exist", kAccountPage);
  std::optional<std::string> quota_text;
  if (!read_typed_quota(quota, quota_text)) fill_account_view(split.address, *record, split.domain);
  if (given(cpass)) {
    // A password that cannot be crypted stops the whole change: nothing of
    // the form is stored, and the page shows the account as it stands.
    const password_record stored = *record;
    const int hashed = set_new_password(*record, cpass, &crypt);
    if (hashed != 0) {
      add_message(formatted("Modify Account %s error %s", split.address, error_string(hashed)));
      fill_account_view(split.address, stored, split.domain);
    }
  }
  if (given(fname)) record->gecos = fname;
  if (quota_text) record->quota = *quota_text;
  record->gid = form_account_flags();
  const int updated = passwd_update(*record, split.domain);
  if (updated != 0) {
    add_message(formatted("Modify Account %s error %s", split.address, error_string(updated)));
  } else {
    add_message(formatted("Modify Account %s success", split.address));
  }
  fill_account_view(split.address, *record, split.domain);
}

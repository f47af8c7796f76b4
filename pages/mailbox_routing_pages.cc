#include "pages/mailbox_routing_pages.h"

#include <cstdio>
#include <optional>

#include "accounts/mailbox_routing.h"
#include "accounts/passwd.h"
#include "accounts/routing.h"
#include "base/mailbox.h"
#include "domains/assign.h"
#include "pages/routing_pages.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/page.h"

namespace {

constexpr char kViewPage[] = "html/view_user.html";
constexpr char kRoutingPage[] = "html/mod_routing.html";

[[noreturn]] void finish(std::string_view message, const char* page_path) {
  add_message(message);
  print_final_page(page_path);
}

// A message made from a format with two texts, cut to what the shared
// 500-byte message buffer holds.
std::string formatted(const char* format, const std::string& first, const std::string& second) {
  char buffer[kTextField];
  std::snprintf(buffer, sizeof buffer, format, first.c_str(), second.c_str());
  return buffer;
}

struct Account {
  std::string address;  // as the split left it, as messages show it
  Mailbox mailbox;      // its domain the real one
};

// The form's account, or the address form with the page's message.
Account form_account(const char* title) {
  const char* eaddr = form_value("eaddr");
  if (eaddr == nullptr || eaddr[0] == '\0') {
    finish(std::string(title) + ": Failed: no email address given", kViewPage);
  }
  ParsedAddress parsed = parse_address(eaddr);
  Account account{parsed.address, parsed.mailbox};
  if (std::optional<DomainHome> home = find_domain_home(account.mailbox.domain)) {
    account.mailbox.domain = home->domain;
  }
  if (parsed.result != 0 || !passwd_find(account.mailbox.user, account.mailbox.domain)) {
    finish(std::string(title) + ": account does not exist", kViewPage);
  }
  return account;
}

[[noreturn]] void fill_routing_view(const Account& account) {
  MailboxRouting routing;
  int code = read_mailbox_routing(account.mailbox, routing);
  if (code != 0) add_message(routing_error_string(code));
  std::string forwards;
  for (const std::string& forward : routing.forwards) forwards += forward + "\n";
  set_page_var("UA", account.address);
  set_page_var("UE", url_encode(account.address));
  set_page_var("DN", url_encode(account.mailbox.domain.str()));
  set_page_var("RF", forwards);
  set_page_var("RK", routing.keep_copy ? "CHECKED" : "");
  set_page_var("RV", get_language_text(routing.vacation ? "366" : "367"));
  set_page_var("RS", routing.settings.subject);
  set_page_var("RT", routing.settings.text);
  set_page_var("RU", routing.settings.until);
  print_final_page(kRoutingPage);
}

std::string field(const char* name) {
  const char* value = form_value(name);
  return value != nullptr ? value : "";
}

}  // namespace

void view_routing() { fill_routing_view(form_account("View Forwards")); }

void mod_forward() {
  Account account = form_account("Modify Forwards");
  const bool off = form_value("off") != nullptr;
  const char* field = form_value("forwards");
  std::vector<std::string> forwards =
      off || field == nullptr ? std::vector<std::string>{} : split_destinations(field);
  int code = set_mailbox_forwards(account.mailbox, forwards, form_value("keep") != nullptr);
  if (code != 0) {
    add_message(formatted("Modify Forwards %s error %s", account.address, routing_error_string(code)));
  } else {
    add_message(formatted(forwards.empty() ? "Forwards of %s removed%s" : "Forwards of %s saved%s",
                          account.address, ""));
  }
  fill_routing_view(account);
}

void mod_vacation() {
  Account account = form_account("Modify Vacation");
  const bool off = form_value("off") != nullptr;
  int code = off ? remove_mailbox_vacation(account.mailbox)
                 : set_mailbox_vacation(account.mailbox,
                                        {field("vsubject"), field("vtext"), field("vuntil")});
  if (code != 0) {
    add_message(formatted("Modify Vacation %s error %s", account.address, routing_error_string(code)));
  } else {
    add_message(formatted(off ? "Vacation reply of %s removed%s" : "Vacation reply of %s saved%s",
                          account.address, ""));
  }
  fill_routing_view(account);
}

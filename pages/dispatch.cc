#include "pages/dispatch.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pages/account_pages.h"
#include "pages/changing_commands.h"
#include "pages/control_files.h"
#include "pages/domain_pages.h"
#include "pages/mailbox_routing_pages.h"
#include "pages/routing_pages.h"
#include "pages/scope_check.h"
#include "pages/show_users.h"
#include "web/form.h"
#include "web/page.h"

namespace {

constexpr char kMainPage[] = "html/main.html";
constexpr ObjectKind kDomain = ObjectKind::kDomain;
constexpr ObjectKind kAddress = ObjectKind::kAddress;
constexpr ObjectKind kControlFile = ObjectKind::kControlFile;
constexpr ObjectKind kDomainList = ObjectKind::kDomainList;

// An alias domain is logged by the alias it adds; the domain it joins is
// checked for a domain administrator too. Commands that only show name
// their object as well, so that a domain administrator's view is checked.
constexpr Command kCommands[] = {
    {"add_domain", add_domain_page, kRightAddDomain, "Create Domain: Permission denied",
     kMainPage, true, "dname", kDomain},
    {"del_domain", del_domain_page, kRightDeleteDomain, "Delete Domain: Permission denied",
     kMainPage, true, "dname", kDomain},
    {"view_domain", view_domain_page, kRightViewDomain, "View Domain: Permission denied",
     kMainPage, false, "dname", kDomain},
    {"add_user", add_user, kRightAddUser, "Add Email Account: Permission denied", kMainPage,
     true, "eaddr", kAddress},
    {"del_user", del_user, kRightDeleteUser, "Delete Email Account: Permission denied",
     kMainPage, true, "eaddr", kAddress},
    {"view_user", view_user, kRightViewUser, "View Email Account: Permission denied", kMainPage,
     false, "eaddr", kAddress},
    {"mod_user", mod_user, kRightModifyUser, "Modify Email Account: Permission denied",
     kMainPage, true, "eaddr", kAddress},
    // The user list is denied with the account view's text.
    {"show_users", show_users, kRightViewUser, "View Email Account: Permission denied",
     kMainPage, false, "dname", kDomain},
    {"show_controls", show_controls_page, kNoRight, nullptr, nullptr, false, nullptr,
     kControlFile},
    {"mod_domain", mod_domain_page, kRightModifyDomain, "Mod Domain: Permission denied",
     kMainPage, true, "dname", kDomain},
    {"list_domains", list_domains_page, kRightViewDomain, "List Domains: Permission denied",
     kMainPage, false, nullptr, kDomainList},
    {"add_alias_domain", add_alias_domain_page, kRightAddDomain,
     "Add Alias Domain: Permission denied", kMainPage, true, "adname", kDomain, "dname"},
    {"display_file", display_file, kNoRight, nullptr, nullptr, false, "fname", kControlFile},
    {"modify_file", modify_file, kNoRight, nullptr, nullptr, true, "file_name", kControlFile},
    {"delete_file", delete_file, kNoRight, nullptr, nullptr, true, "file_name", kControlFile},
    // A mailbox's forwards and vacation reply, reached from the account view.
    {"view_routing", view_routing, kRightViewUser, "View Email Account: Permission denied",
     kMainPage, false, "eaddr", kAddress},
    {"mod_forward", mod_forward, kRightModifyUser, "Modify Forwards: Permission denied",
     kMainPage, true, "eaddr", kAddress},
    {"mod_vacation", mod_vacation, kRightModifyUser, "Modify Vacation: Permission denied",
     kMainPage, true, "eaddr", kAddress},
    // A domain's aliases are viewed with the account list's right and
    // changed, as its catch-all is, with the right to change the domain.
    {"show_aliases", show_aliases_page, kRightViewUser, "Show Aliases: Permission denied",
     kMainPage, false, "dname", kDomain},
    {"add_alias", add_alias_page, kRightModifyDomain, "Add Alias: Permission denied", kMainPage,
     true, "dname", kDomain},
    {"mod_alias", mod_alias_page, kRightModifyDomain, "Modify Alias: Permission denied",
     kMainPage, true, "dname", kDomain},
    {"del_alias", del_alias_page, kRightModifyDomain, "Delete Alias: Permission denied",
     kMainPage, true, "dname", kDomain},
    {"set_catchall", set_catchall_page, kRightModifyDomain, "Catch-all: Permission denied",
     kMainPage, true, "dname", kDomain},
};

constexpr char kFixedPagePrefix[] = "/show/";
constexpr size_t kFixedPagePath = 254;  // "html/" + name, at most 253 characters

// PATH_INFO "/show/NAME" prints html/NAME. Names that could leave html/
// (".." or "/" anywhere) are refused; a single "." is fine (help.html).
void serve_fixed_page_if_asked() {
  const char* path_info = std::getenv("PATH_INFO");
  if (path_info == nullptr) return;
  if (std::strncmp(path_info, kFixedPagePrefix, sizeof kFixedPagePrefix - 1) != 0) return;
  const char* name = path_info + sizeof kFixedPagePrefix - 1;
  if (std::strstr(name, "..") != nullptr || std::strchr(name, '/') != nullptr) {
    request_error("invalid file");
  }
  std::string path = field_text(std::string("html/") + name, kFixedPagePath);
  print_final_page(path.c_str());
}

[[noreturn]] void dispatch() {
  const char* nav = form_value("nav");
  if (nav != nullptr) {
    const Command* command = find_command(nav);
    // A command that changes the store passes the cross-site guard and is
    // logged, refused or not, whether or not its handler is built yet; a
    // refusal comes before the right is looked at.
    if (command != nullptr) {
      if (command->changes) guard_changing_command(*command);
      // Handlers may print before their template (the user list prints
      // its own page): the response is a 200 from here on.
      print_header();
      if (command->right != kNoRight && !has_right(command->right)) {
        add_message(command->denied);
        print_final_page(command->denied_page);
      }
      refuse_outside_scope(*command);
      if (command->handler != nullptr) command->handler();
    }
  }
  print_final_page(kMainPage);
}

}  // namespace

std::span<const Command> command_table() { return kCommands; }

const Command* find_command(const char* nav) {
  for (const Command& command : kCommands) {
    if (strcasecmp(command.nav, nav) == 0) return &command;
  }
  return nullptr;
}

void serve_request() {
  // The header waits until the request has been read and passed its
  // guard, so that a malformed or refused one is answered with its status;
  // nothing reaches standard output before it.
  init_page_state();
  select_language();
  read_request();
  serve_fixed_page_if_asked();
  dispatch();
}

#include "pages/routing_pages.h"

#include <fcntl.h>

#include <optional>

#include "accounts/dot_qmail.h"
#include "accounts/open_dir.h"
#include "accounts/passwd.h"
#include "accounts/routing.h"
#include "base/store_layout.h"
#include "domains/assign.h"
#include "pages/domain_pages.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/page.h"

namespace {

constexpr char kMainPage[] = "html/main.html";
constexpr char kAliasesPage[] = "html/show_aliases.html";
constexpr char kDomainPage[] = "html/mod_domain.html";
// The destinations field: separators between addresses.
constexpr std::string_view kDestinationSeparators = " \t\r\n,";

bool given(const char* field) { return field != nullptr && field[0] != '\0'; }

// "<tr><td>NAME</td><td>A<br>B</td></tr>" with every text escaped.
std::string table_row(std::string_view name, const std::vector<std::string>& destinations) {
  std::string row = "<tr><td>" + html_escape(name) + "</td><td>";
  for (size_t i = 0; i < destinations.size(); ++i) {
    row += (i ? "<br>" : "") + html_escape(destinations[i]);
  }
  return row + "</td></tr>\n";
}

// The mailboxes with forwards, as the user list reads them: the "&" lines
// of each mailbox's own .qmail.
std::string forward_rows(const DomainHome& home) {
  std::string rows;
  OpenDir dir;
  dir.hold(home.dir);
  PasswdListing listing(home.domain);
  for (const password_record* record = listing.next(); record; record = listing.next()) {
    std::optional<std::string> text = read_dot_qmail(dir.place(mailbox_dot_qmail(record->dir)), false);
    if (!text) continue;
    std::vector<std::string> forwards;
    std::string_view rest = *text;
    for (std::string_view piece; next_piece(rest, piece, kDotQmailWholeLine);) {
      DotQmailLine line = parse_dot_qmail_line(piece);
      if (line.kind == DotQmailKind::kForward) forwards.emplace_back(line.text);
    }
    if (!forwards.empty()) rows += table_row(record->name + "@" + home.domain.str(), forwards);
  }
  return rows;
}

// The aliases page of a domain the lookup knows, with the message given.
[[noreturn]] void aliases_page(const DomainHome& home, std::string_view message) {
  if (!message.empty()) add_message(message);
  set_page_var("DN", home.domain.str());
  std::string rows;
  if (std::optional<std::vector<AliasEntry>> aliases = alias_list(home.domain)) {
    for (const AliasEntry& alias : *aliases) {
      rows += table_row(alias.name + "@" + home.domain.str(), alias.destinations);
    }
  }
  set_page_markup("AL", rows);
  set_page_markup("AF", forward_rows(home));
  print_final_page(kAliasesPage);
}

// The domain of the request, or the main page with the page's message.
DomainHome requested_domain(const char* page) {
  const char* field = form_value("dname");
  if (field == nullptr) {
    add_message(std::string(page) + ": Failed: no domain name given");
    print_final_page(kMainPage);
  }
  std::optional<DomainHome> home = find_domain_home(DomainName(field));
  if (!home) {
    add_message(std::string(page) + ": Failed: domain does not exist");
    print_final_page(kMainPage);
  }
  return *home;
}

enum class AliasChange { kAdd, kModify, kDelete };

[[noreturn]] void change_alias(AliasChange change) {
  static const char* const kPages[] = {"Add Alias", "Modify Alias", "Delete Alias"};
  static const char* const kDone[] = {"created", "changed", "deleted"};
  const int which = static_cast<int>(change);
  const DomainHome home = requested_domain(kPages[which]);
  const char* name = form_value("aname");
  const char* field = form_value("adest");
  if (!given(name)) {
    aliases_page(home, std::string(kPages[which]) + ": Failed: Must supply alias name");
  }
  if (change != AliasChange::kDelete && !given(field)) {
    aliases_page(home, std::string(kPages[which]) + ": Failed: Must supply destinations");
  }
  const Mailbox alias(name, home.domain);
  int code = kSuccess;
  switch (change) {
    case AliasChange::kAdd: code = alias_add(alias, split_destinations(field)); break;
    case AliasChange::kModify: code = alias_change(alias, split_destinations(field)); break;
    case AliasChange::kDelete: code = alias_delete(alias); break;
  }
  aliases_page(home, code != kSuccess ? std::string(routing_error_string(code))
                                      : field_text("Alias " + alias.user + "@" +
                                                       home.domain.str() + " " + kDone[which],
                                                   kTextField));
}

}  // namespace

std::vector<std::string> split_destinations(const std::string& field) {
  std::vector<std::string> destinations;
  size_t start = 0;
  while ((start = field.find_first_not_of(kDestinationSeparators, start)) != std::string::npos) {
    size_t end = field.find_first_of(kDestinationSeparators, start);
    destinations.push_back(field.substr(start, end - start));
    start = end;
  }
  return destinations;
}

void show_aliases_page() { aliases_page(requested_domain("Show Aliases"), ""); }

void add_alias_page() { change_alias(AliasChange::kAdd); }

void mod_alias_page() { change_alias(AliasChange::kModify); }

void del_alias_page() { change_alias(AliasChange::kDelete); }

void set_catchall_page() {
  const DomainHome home = requested_domain("Catch-all");
  const std::string type = form_value("ctype") ? form_value("ctype") : "";
  const char* user = form_value("cuser");
  const char* address = form_value("caddr");
  int code = kSuccess;
  if (type == "bounce" || type == "delete") {
    code = catchall_set(home.domain, type);
  } else if (type == "mailbox" && given(user)) {
    // A name with "@" would be taken for an address.
    code = std::string_view(user).find('@') == std::string_view::npos
               ? catchall_set(home.domain, user)
               : kErrNoUser;
  } else if (type == "forward" && given(address)) {
    code = std::string_view(address).find('@') != std::string_view::npos
               ? catchall_set(home.domain, address)
               : kErrBadDestination;
  } else {
    code = -1;
    add_message("Catch-all: Failed: Must supply what becomes of the mail");
  }
  if (code != -1) add_message(code == kSuccess ? "Catch-all set" : routing_error_string(code));
  fill_domain_view(home.domain);
  print_final_page(kDomainPage);
}

void fill_catchall_view(const DomainName& domain) {
  std::optional<CatchAll> catchall = catchall_get(domain);
  if (!catchall) return;
  set_page_var("CQ", catchall->line);
  static const char* const kChecked[] = {"CB", "CD", "CM", "CF"};
  if (catchall->kind != NoMailboxKind::kUnknown) {
    set_page_var(kChecked[static_cast<int>(catchall->kind)], "checked");
  }
  if (catchall->kind == NoMailboxKind::kPath) set_page_var("CU", catchall->mailbox);
  if (catchall->kind == NoMailboxKind::kAddress) set_page_var("CX", catchall->target);
}

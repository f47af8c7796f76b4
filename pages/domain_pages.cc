#include "pages/domain_pages.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "accounts/account.h"
#include "accounts/passwd.h"
#include "base/error.h"
#include "base/mailbox.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"
#include "domains/dir_control.h"
#include "domains/domain.h"
#include "domains/limits.h"
#include "pages/routing_pages.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/page.h"
#include "web/scope.h"

namespace {

constexpr char kMainPage[] = "html/main.html";
constexpr char kAddDomainPage[] = "html/add_domain.html";
constexpr char kDelDomainPage[] = "html/del_domain.html";
constexpr char kViewDomainPage[] = "html/view_domain.html";
constexpr char kModDomainPage[] = "html/mod_domain.html";

constexpr char kLimitsFailed[] = "Create Domain: open .kestrel-limits failed";
constexpr char kNoPostmaster[] = "Domain has no postmaster!!";

// The directory a lookup yields may be a store path (up to 299 characters);
// the limits file path the pages build must fit a 156-byte field.
constexpr size_t kLookupDirField = 300;
constexpr size_t kPagePathField = 156;
// Lines of a limits file and of users/assign are read in these pieces.
constexpr size_t kLimitsPiece = 156;
constexpr size_t kAssignPiece = 500;
// The list page's colours and font come from the language file, cut so.
constexpr size_t kStyleText = 30;

// The limits lines in the order the file holds them: a count or quota is
// written when its field is given, a switch when its field is present.
struct LimitsLine {
  const char* field;
  const char* key;
  bool is_switch;
};
constexpr LimitsLine kLimitsLines[] = {
    {"lusers", "maxpopaccounts", false},   {"lalias", "maxaliases", false},
    {"lfor", "maxforwards", false},        {"lresponder", "maxautoresponders", false},
    {"llists", "maxmailinglists", false},  {"quota", "default_quota", false},
    {"upop", "disable_pop", true},         {"uimap", "disable_imap", true},
    {"udialup", "disable_dialup", true},   {"upassc", "disable_password_changing", true},
    {"uweb", "disable_webmail", true},     {"urelay", "disable_external_relay", true},
};

// What the domain view shows of a limits file: the first word of a line
// selects the variable; a value key takes the next word, a switch "checked".
struct ViewKey {
  const char* key;
  const char* var;
  bool is_switch;
};
constexpr ViewKey kViewKeys[] = {
    {"maxpopaccounts", "MU", false},
    {"maxaliases", "MA", false},
    {"maxforwards", "MF", false},
    {"maxautoresponders", "MR", false},
    {"maxmailinglists", "ML", false},
    {"quota", "MQ", false},
    {"default_quota", "MQ", false},
    {"disable_pop", "MP", true},
    {"disable_imap", "MI", true},
    {"disable_dialup", "MD", true},
    {"disable_password_changing", "MC", true},
    {"disable_external_relay", "MS", true},
    {"disable_webmail", "MW", true},
};

bool given(const char* field) { return field != nullptr && field[0] != '\0'; }

// A message on the given page, then the end of the process.
[[noreturn]] void finish(std::string_view message, const char* page_path) {
  add_message(message);
  print_final_page(page_path);
}

// A message made from a format is cut like every front-end text.
std::string formatted(const char* format, std::string_view value) {
  std::string text(format);
  text.replace(text.find("%s"), 2, value);
  return field_text(text, kTextField);
}

// Looks the domain up (found, when given, gets the real domain's name) and
// writes its limits file from the request; 0, -11 when the domain is
// unknown (nothing is written anywhere), or -1 when its path does not fit
// the page's path field or the file could not be written.
int write_request_limits(const DomainName& domain, std::string* found) {
  DomainHome home;
  if (!tget_assign(domain, &home.dir, kLookupDirField, &home.uid, &home.gid, found)) {
    return kErrNoDomain;
  }
  // The field holds the host's path; a sandbox root in front of it must not
  // change which directories fit.
  size_t host_length = domain_limits_file(home.dir).size() - site_root().size();
  if (home.dir.compare(0, site_root().size(), site_root()) != 0 ||
      host_length >= kPagePathField) {
    return -1;
  }
  return write_limits_text(home, limits_form_text());
}

void read_limits_view(FILE* file) {
  char piece[kLimitsPiece];
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    std::optional<LimitsSplit> line = split_limits_line(piece, kViewLimitsSyntax);
    if (!line) continue;
    for (const ViewKey& key : kViewKeys) {
      if (line->key != key.key) continue;
      if (key.is_switch) {
        set_page_var(key.var, "checked");
      } else if (!line->value.empty()) {
        set_page_var(key.var, line->value);
      }
    }
  }
}

void print_list_head(const char* filter) {
  std::string background = field_text(get_language_text("055"), kStyleText + 1);
  std::string colour = field_text(get_language_text("056"), kStyleText + 1);
  std::string face = field_text(get_language_text("057"), kStyleText + 1);
  std::string size = field_text(get_language_text("058"), kStyleText + 1);
  fputs("<HTML><HEAD><TITLE>List Domains</TITLE><link href=\"/images/larkspur/larkspur.css\" "
        "rel=\"stylesheet\" rev=\"stylesheet\" type=\"text/css\" media=\"all\"> </HEAD>\n",
        stdout);
  printf("<body bgcolor=%s vlink=%s link=%s alink=%s>\n", background.c_str(), colour.c_str(),
         colour.c_str(), colour.c_str());
  printf("<FONT face=\"%s\" SIZE=\"%s\" color=\"%s\">\n", face.c_str(), size.c_str(),
         colour.c_str());
  if (given(filter)) {
    printf("<B>Domains containing %s</B><BR>\n", html_escape(filter).c_str());
  } else {
    fputs("<B>All domains</B><BR>\n", stdout);
  }
}

// One users/assign line as the list shows it: "+NAME-" and its real domain.
void print_list_line(std::string_view line, const char* filter) {
  std::optional<AssignSplit> split = split_assign_line(line, kViewAssignSyntax);
  if (!split) return;
  std::string_view listed = split->name;
  std::string_view real = split->real_domain;
  if (given(filter) && listed.find(filter) == std::string_view::npos) return;
  // A domain administrator sees their domains and the aliases of them.
  if (!scope_lists(std::string(real))) return;
  std::string link = url_encode(real);
  std::string shown_real = html_escape(real);
  if (listed == real) {
    printf("<a href=larkspur.cgi?nav=view_domain&dname=%s>%s</a><BR>\n", link.c_str(),
           shown_real.c_str());
  } else {
    printf("<a href=larkspur.cgi?nav=view_domain&dname=%s>%s</a> Aliased to %s<BR>\n",
           link.c_str(), html_escape(listed).c_str(), shown_real.c_str());
  }
}

}  // namespace

std::string limits_form_text() {
  std::string text;
  for (const LimitsLine& line : kLimitsLines) {
    const char* value = form_value(line.field);
    if (line.is_switch ? value != nullptr : given(value)) {
      text.append(line.key);
      if (!line.is_switch) text.append(": ").append(value);
      text += '\n';
    }
  }
  return text;
}

void fill_domain_view(const DomainName& asked) {
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
  // The page names the domain as the lookup found it.
  std::string domain = asked;
  if (!tget_assign(asked, &dir, kLookupDirField, &uid, &gid, &domain)) {
    add_message(formatted("Domain %s does not exist", domain));
    set_page_var("DN", domain);
    print_final_page(kViewDomainPage);
  }
  set_page_var("DN", domain);
  set_page_var("DD", dir);
  set_page_var("DU", std::to_string(uid));
  set_page_var("DG", std::to_string(gid));
  // Writing the record back creates a missing one with its first values.
  DirControl control;
  dir_control_load(control, domain, uid);
  dir_control_save(control, domain, uid, gid);
  set_page_var("DS", std::to_string(control.entry_count));

  std::optional<password_record> record = passwd_find("postmaster", asked);
  const std::string shown = record ? record->clear_password : kNoPostmaster;
  set_page_var("DP", shown);
  // The store keeps no clear password as a rule: the block that would
  // reveal one is hidden when there is nothing to reveal.
  set_page_var("DH", shown.empty() ? " hidden" : "");
  fill_catchall_view(DomainName::as_stored(domain));

  FILE* file = std::fopen(domain_limits_path(dir).c_str(), "re");
  if (file == nullptr) {
    set_page_var("QU", "CHECKED");
    return;
  }
  set_page_var("QL", "CHECKED");
  read_limits_view(file);
  std::fclose(file);
}

void add_domain_page() {
  const char* name = form_value("dname");
  const char* password = form_value("pp");
  if (!given(name)) finish("Create Domain: Failed: Must supply domain name", kAddDomainPage);
  if (!given(password)) finish("Create Domain: Failed: Must supply password", kAddDomainPage);

  const DomainName domain(name);
  int code = create_domain(domain, tessera_home(), kStoreUid, kStoreGid);
  if (code != 0) finish(error_string(code), kMainPage);
  add_message("Created Domain");
  // The domain stays without postmaster when its limits cannot be written.
  if (write_request_limits(domain, nullptr) != 0) finish(kLimitsFailed, kMainPage);
  code = add_account(Mailbox("postmaster", domain), password, "Postmaster");
  finish(code != 0 ? error_string(code) : "Domain postmaster added", kMainPage);
}

void del_domain_page() {
  const char* name = form_value("dname");
  if (!given(name)) finish("Delete Domain: Failed: Must supply domain name", kDelDomainPage);
  finish(delete_domain(DomainName(name)) != 0 ? "Delete Domain: Failed" : "Deleted Domain", kMainPage);
}

void view_domain_page() {
  const char* name = form_value("dname");
  if (!given(name)) finish("View Domain: Failed: Must supply domain name", kViewDomainPage);
  fill_domain_view(DomainName(name));
  print_final_page(kModDomainPage);
}

void mod_domain_page() {
  const char* name = form_value("dname");
  if (!given(name)) finish("Mod Domain: Failed: Must supply domain name", kModDomainPage);
  const DomainName domain(name);
  // An unknown domain has no directory to write into: nothing is written,
  // and the view below says that the domain does not exist.
  std::string found = domain;
  int written = write_request_limits(domain, &found);
  if (written != 0 && written != kErrNoDomain) finish(kLimitsFailed, kMainPage);
  const char* password = form_value("ppass");
  if (given(password)) {
    // The change names the domain as the lookup found it (an alias's real
    // domain); the view below looks it up again.
    int code = change_password(Mailbox("postmaster", DomainName(found)), password);
    add_message(code != 0 ? formatted("Postmaster Password error %s", error_string(code))
                          : std::string("Postmaster password set"));
  }
  fill_domain_view(domain);
  print_final_page(kModDomainPage);
}

void list_domains_page() {
  const char* filter = form_value("dname");
  print_list_head(filter);
  FILE* assign = std::fopen(qmail_assign_file().c_str(), "re");
  if (assign == nullptr) finish("List Domains: could not open assign file", kMainPage);
  char piece[kAssignPiece];
  while (std::fgets(piece, sizeof piece, assign) != nullptr) print_list_line(piece, filter);
  std::fclose(assign);
  fputs("<HR>\n<a href=\"/cgi-bin/larkspur/larkspur.cgi\">Main Larkspur Menu</a><BR><BR>\n",
        stdout);
  print_version_lines();
  store_exit(0);
}

void add_alias_domain_page() {
  const char* name = form_value("dname");
  const char* alias_name = form_value("adname");
  if (!given(name)) finish("Add Alias Domain: Failed: Must supply domain name", kAddDomainPage);
  if (!given(alias_name)) {
    finish("Add Alias Domain: Failed: Must supply alias domain name", kAddDomainPage);
  }
  int code = create_alias_domain(DomainName(alias_name), DomainName(name));
  finish(code != 0 ? error_string(code) : "Alias Domain Added", kMainPage);
}

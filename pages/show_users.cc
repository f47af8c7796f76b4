#include "pages/show_users.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "accounts/lastauth.h"
#include "accounts/open_dir.h"
#include "accounts/passwd.h"
#include "accounts/routing.h"
#include "base/error.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/text.h"
#include "domains/assign.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/page.h"

namespace {

constexpr char kMainPage[] = "html/main.html";
constexpr size_t kStyleField = 30;     // 29 characters
constexpr size_t kAddressField = 156;  // 155 characters
constexpr size_t kQmailPathLimit = 155;
constexpr size_t kFilterField = 156;  // 155 characters, as an address

struct Style {
  std::string background, colour, face, size;
};

Style page_style() {
  return {field_text(get_language_text("055"), kStyleField),
          field_text(get_language_text("056"), kStyleField),
          field_text(get_language_text("057"), kStyleField),
          field_text(get_language_text("058"), kStyleField)};
}

void out(std::string_view text) { fwrite(text.data(), 1, text.size(), stdout); }

void out_escaped(std::string_view text) { print_html_escaped(text, stdout); }

// "<FONT face=FACE color=\"COLOUR\">", the start of most cells.
void font_quoted(const Style& s) {
  out("<FONT face=");
  out(s.face);
  out(" color=\"");
  out(s.colour);
  out("\">");
}

// The same with the colour unquoted, as the last two account columns have it.
void font_bare(const Style& s) {
  out("<FONT face=");
  out(s.face);
  out(" color=");
  out(s.colour);
  out(">");
}

// The mailbox's own .qmail, when its path fits the host's 155 characters
// (a cut path would name another file).
std::optional<std::string> read_mailbox_qmail(const std::string& dir, const OpenDir& domain_dir) {
  std::string path = mailbox_dot_qmail(dir);
  if (path.size() - std::min(path.size(), site_root().size()) > kQmailPathLimit) {
    return std::nullopt;
  }
  return read_dot_qmail(domain_dir.place(path), false);
}

void print_forward_cell(const Style& s, std::string_view qmail) {
  out("<td align=middle>");
  font_quoted(s);
  bool any = false;
  for (std::string_view piece; next_piece(qmail, piece);) {
    if (piece[0] != '&') continue;
    out_escaped(piece.substr(1));
    any = true;
  }
  if (!any) out("No");
  out("</FONT></td>\n");
}

void print_vacation_cell(const Style& s, std::string_view qmail) {
  out("<td align=middle>");
  font_quoted(s);
  bool vacation = false;
  for (std::string_view piece; !vacation && next_piece(qmail, piece);) {
    vacation = piece.find("autorespond") != std::string_view::npos;
  }
  out(vacation ? "Yes" : "No");
  out("</FONT></td>\n");
}

void print_account_row(const Style& s, const password_record& record, const std::string& dname,
                       const OpenDir& domain_dir) {
  out("<tr><td>");
  font_quoted(s);
  out("<a href=larkspur.cgi?nav=view_user&eaddr=");
  out(url_encode(record.name));
  out("@");
  out(url_encode(dname));
  out(">");
  out_escaped(record.name);
  out("</a></FONT></td>\n");

  // Read once: both columns judge the same bytes.
  const std::string qmail = read_mailbox_qmail(record.dir, domain_dir).value_or("");
  print_forward_cell(s, qmail);
  print_vacation_cell(s, qmail);

  out("<td align=middle>");
  font_quoted(s);
  out_escaped(record.quota);
  out("</FONT></td>");

  out("<td align=middle>");
  font_bare(s);
  out((record.gid & kDomainAdmin) != 0 ? "<B>Yes</B>" : "No");
  out("</FONT></td>\n");

  out("<td align=middle>");
  font_bare(s);
  // The record creation writes carries the creation's time: no login yet.
  const time_t when = lastauth_login_time(record, &domain_dir);
  struct tm local;
  char text[64];
  if (when != 0 && localtime_r(&when, &local) != nullptr && asctime_r(&local, text) != nullptr) {
    out(text);
  } else {
    out("<B>NEVER LOGGED IN</B>");
  }
  out("</font></td></tr>\n");
}

// The account rows of the page shown, and where they stand in the list.
struct Listing {
  std::vector<password_record> rows;  // the page's rows, in file order
  bool empty_domain = true;           // the password file holds no record
  bool paged = false;                 // the paging line and form are shown
  int matches = 0;                    // accounts the filter lets through
  int page = 1, pages = 1;
};

// The page a form text asks for: 1 for anything but a number above 0; a
// number past what an int holds still asks for a page past the end.
int asked_page(const char* field) {
  if (field == nullptr || *field == '\0') return 1;
  long long value = 0;
  for (const char* c = field; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 1;
    value = std::min<long long>(value * 10 + (*c - '0'), INT_MAX);
  }
  return static_cast<int>(std::max<long long>(value, 1));
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether an account's name holds the filter, capitals and small letters
// alike; every name holds the empty filter.
bool name_holds(std::string_view name, std::string_view filter) {
  if (filter.empty()) return true;
  return std::search(name.begin(), name.end(), filter.begin(), filter.end(), [](char a, char b) {
           return ascii_lower(a) == ascii_lower(b);
         }) != name.end();
}

// One pass over the password file (its first kShowUsersMaxRows records):
// the totals, and copies of the records of the page asked for only, plus
// those of the latest page for when the page asked for lies past the end.
// So at most two pages of records are held, whatever the domain's size.
Listing gather_accounts(const DomainName& dname, const std::string& filter, int asked) {
  Listing listing;
  std::vector<password_record> latest;
  int accounts = 0;
  PasswdListing records(dname);
  for (const password_record* record = records.next();
       record != nullptr && accounts < kShowUsersMaxRows; record = records.next()) {
    ++accounts;
    if (!name_holds(record->name, filter)) continue;
    if (listing.matches / kShowUsersPageRows + 1 == asked) {
      listing.rows.push_back(*record);
    } else {
      if (listing.matches % kShowUsersPageRows == 0) latest.clear();
      latest.push_back(*record);
    }
    ++listing.matches;
  }
  listing.empty_domain = accounts == 0;
  listing.paged = !listing.empty_domain && (accounts > kShowUsersPageRows || !filter.empty());
  listing.pages = std::max(1, (listing.matches + kShowUsersPageRows - 1) / kShowUsersPageRows);
  listing.page = std::min(asked, listing.pages);
  if (asked > listing.pages) listing.rows = std::move(latest);
  return listing;
}

void print_page_link(const Style& s, const std::string& dname, const std::string& filter,
                     int page, const char* label) {
  out(" <a href=larkspur.cgi?nav=show_users&dname=");
  out(url_encode(dname));
  out("&page=" + std::to_string(page) + "&filter=");
  out(url_encode(filter));
  out(">");
  font_quoted(s);
  out(label);
  out("</FONT></a>");
}

// "Users 1001 to 2000 of 2500" and the links to the pages beside this one.
void print_page_line(const Style& s, const Listing& listing, const std::string& dname,
                     const std::string& filter) {
  font_quoted(s);
  if (listing.matches == 0) {
    out("No users match");
  } else {
    const int first = (listing.page - 1) * kShowUsersPageRows + 1;
    out("Users " + std::to_string(first) + " to " +
        std::to_string(first + static_cast<int>(listing.rows.size()) - 1) + " of " +
        std::to_string(listing.matches));
  }
  out("</FONT>");
  if (listing.page > 1) print_page_link(s, dname, filter, listing.page - 1, "previous");
  if (listing.page < listing.pages) print_page_link(s, dname, filter, listing.page + 1, "next");
  out("<BR>\n");
}

// Viewing changes nothing, so the filter goes by GET like the links.
void print_filter_form(const Style& s, const std::string& dname, const std::string& filter) {
  out("<form method=get action=larkspur.cgi><input type=hidden name=nav value=show_users>"
      "<input type=hidden name=dname value=\"");
  out_escaped(dname);
  out("\"><label>");
  font_quoted(s);
  out("Name contains</FONT> <input type=text name=filter value=\"");
  out_escaped(filter);
  out("\"></label> <input type=submit value=\"Show\"></form>\n");
}

void print_accounts_table(const Style& s, const Listing& listing, const std::string& dname,
                          const std::string& dir) {
  if (listing.empty_domain) {
    out("<tr><td>");
    font_quoted(s);
    out("Domain ");
    out_escaped(dname);
    out(" does not exist</FONT></td></tr></table>\n");
    return;
  }
  static const char* const kHeads[] = {"<tr><th align=left>", "User</FONT></th>\n",
                                       "<th>", "Forward</FONT></th>\n",
                                       "<th>", "Vacation</FONT></th>\n",
                                       "<th>", "Quota</FONT></th>\n",
                                       "<th>", "Domain Administrator</FONT></th>\n",
                                       "<th>", "Last Logon</FONT></th></tr><BR>\n"};
  for (size_t i = 0; i < std::size(kHeads); i += 2) {
    out(kHeads[i]);
    font_quoted(s);
    out(kHeads[i + 1]);
  }
  // Each row's files are reached from the domain directory held open.
  OpenDir domain_dir;
  domain_dir.hold(dir);
  for (const password_record& record : listing.rows) print_account_row(s, record, dname, domain_dir);
}

// The names of a directory's .qmail-NAME entries, in directory order.
std::vector<std::string> dot_qmail_names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* entry = readdir(d)) {
    std::string_view name = entry->d_name;
    if (name.starts_with(kDotQmailPrefix)) names.emplace_back(name);
  }
  closedir(d);
  return names;
}

std::string address_part(const std::string& entry) {
  return field_text(std::string_view(entry).substr(kDotQmailPrefix.size()), kAddressField);
}

void print_alias_line(const Style& s, std::string_view piece) {
  font_quoted(s);
  const char first = piece[0];
  if (first == '#' || first == ' ' || first == '\t' || first == '\n' || first == '\v' ||
      first == '\f' || first == '\r') {
    out("&nbsp");
  } else if (piece.find('@') != std::string_view::npos) {
    out("forward: ");
    out_escaped(piece.substr(first == '&' ? 1 : 0));
  } else {
    out("alias: ");
    out_escaped(alias_mailbox_name(piece));
  }
  out("</FONT><BR>\n");
}

// Prints the alias row of one .qmail-NAME file read as text, unless its
// name or its first line rules it out of the alias table.
void print_alias_entry(const Style& s, const std::string& entry, std::string_view text,
                       const std::string& dname) {
  if (!is_alias_file(entry, text)) return;
  out("<tr><td align=left>");
  font_quoted(s);
  out_escaped(address_part(entry));
  out("@");
  out_escaped(dname);
  out("</td><td align=left>\n");
  std::string_view rest = text;
  for (std::string_view piece; next_piece(rest, piece);) print_alias_line(s, piece);
  out("</td></tr>\n");
}

// Whether a .qmail-NAME file read as text is a mailing list's.
bool is_list_entry(std::string_view text) {
  std::string_view piece;
  return next_piece(text, piece) && piece.find("ezmlm-reject") != std::string_view::npos;
}

void print_list_entry(const Style& s, const std::string& entry, const std::string& dname) {
  out("<tr><td>");
  font_quoted(s);
  out_escaped(address_part(entry));
  out("@");
  out_escaped(dname);
  out("</td></tr>");
}

}  // namespace

std::string alias_mailbox_name(std::string_view line) {
  std::string_view whole = line;
  if (whole.ends_with('\n')) whole.remove_suffix(1);
  if (line.size() >= 2) {
    std::string_view path = line.substr(0, line.size() - 2);
    size_t last = path.rfind('/');
    if (last != std::string_view::npos) {
      path = path.substr(0, last);
      size_t before = path.rfind('/');
      if (before != std::string_view::npos) return std::string(path.substr(before + 1));
    }
  }
  return std::string(whole);
}

void show_users() {
  const char* field = form_value("dname");
  if (field == nullptr) {
    add_message("Show Users: Failed: no domain name given");
    print_final_page(kMainPage);
  }
  // The whole page names the real domain (an alias domain's name replaced
  // by it), as the lookup found it.
  std::string dname;
  const char* found = tget_assign(DomainName(field), nullptr, 0, nullptr, nullptr, &dname);
  if (found == nullptr) {
    add_message("Show Users: Failed: domain does not exist");
    print_final_page(kMainPage);
  }
  const std::string dir = found;
  const Style s = page_style();

  out("<HTML><HEAD><TITLE>Show Users</TITLE><link href=\"/images/larkspur/larkspur.css\" "
      "rel=\"stylesheet\" rev=\"stylesheet\" type=\"text/css\" media=\"all\"></HEAD>\n");
  out("<body bgcolor=" + s.background + " vlink=" + s.colour + " link=" + s.colour +
      " alink=" + s.colour + ">\n");
  out("<FONT face=\"" + s.face + "\" SIZE=\"" + s.size + "\" color=\"" + s.colour + "\">\n");
  out("<B>Users for ");
  out_escaped(dname);
  out("</B>\n");
  const char* filter_field = form_value("filter");
  const std::string filter = field_text(filter_field ? filter_field : "", kFilterField);
  const Listing listing =
      gather_accounts(DomainName::as_stored(dname), filter, asked_page(form_value("page")));
  if (listing.paged) {
    print_page_line(s, listing, dname, filter);
    print_filter_form(s, dname, filter);
  }
  out("<table cellspacing=5>\n");
  print_accounts_table(s, listing, dname, dir);
  out("</table>\n");
  if (listing.paged && listing.pages > 1) print_page_line(s, listing, dname, filter);

  out("<HR>\n<B>Alias/Forwards for ");
  out_escaped(dname);
  // The aliases are changed on a page of their own.
  out("</B> <a href=larkspur.cgi?nav=show_aliases&dname=");
  out(url_encode(dname));
  out(">Change aliases</a>\n<table cellspacing=5>\n<tr><th align=left>");
  font_quoted(s);
  out("<B>Name</B></FONT>\n</th><th>");
  font_quoted(s);
  out("<B>Alias/Forward</B></FONT></th><BR></tr>\n");
  // Each file is read once; the mailing lists among them are kept for the
  // table after this one.
  std::vector<std::string> lists;
  for (const std::string& entry : dot_qmail_names(dir)) {
    std::optional<std::string> text = read_dot_qmail(PathAt{AT_FDCWD, dir + "/" + entry}, true);
    if (!text) continue;
    print_alias_entry(s, entry, *text, dname);
    if (is_list_entry(*text)) lists.push_back(entry);
  }

  out("</table>\n<HR>\n<B>Mailing lists for ");
  out_escaped(dname);
  out("</B><BR>\n<table>\n");
  for (const std::string& entry : lists) print_list_entry(s, entry, dname);

  out("</table>\n<HR>\n<a href=\"/cgi-bin/larkspur/larkspur.cgi\">Main Larkspur Menu</a>"
      "<BR><BR>\n");
  print_version_lines();
  store_exit(0);
}

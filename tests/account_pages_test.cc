// The account pages and the user list end to end: each request runs the
// sandbox program against a store made by tessera, with small fixture
// templates, so the pages are compared byte for byte and the password file
// is read back after every change.
#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "tests/testlib/testlib.h"

namespace {

const std::string kHeader = "Content-type: text/html\n\n";
const std::string kVersionLines =
    "<a href=https://larkspur-mail.org/>larkspur</a> 1.0<BR>\n"
    "<a href=https://larkspur-mail.org/tessera/>tessera</a> 1.0<BR>\n";
const std::string kNever = "never logged in";

// The account view's variables, one field each, in the order they are set.
const std::string kViewTemplate =
    "MOD %-W|UA=$-UA|UN=$-UN|UQ=$-UQ|UD=$-UD|F=$-UC,$-UP,$-UW,$-UI,$-UB,$-US,$-UK"
    "|UT=$-UT|UZ=$-UZ|UU=$-UU|DN=$-DN\n";

std::string asctime_utc(time_t when) {
  struct tm t;
  char text[64];
  gmtime_r(&when, &t);
  asctime_r(&t, text);
  return text;
}

// The entries of a directory in the order readdir gives them, as the page
// reads them.
std::vector<std::string> directory_order(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (const dirent* e = d ? readdir(d) : nullptr) names.push_back(e->d_name);
  if (d) closedir(d);
  return names;
}

class AccountPages : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(box.path("/usr/local/tessera/etc/tlimits.default"), "# no limits\n");
    RunOptions options;
    options.argv = {build_output("tessera"), "--root", box.root(), "domain", "add", "example.com"};
    options.env = {"PATH=/usr/bin:/bin"};
    ASSERT_EQ(run_program(options).status, 0);
    options.argv = {build_output("tessera"), "--root", box.root(), "domain", "show", "example.com"};
    std::string shown = run_program(options).out;
    domain_dir = shown.substr(shown.find('\t') + 1);
    domain_dir.erase(domain_dir.find('\t'));
    const std::pair<const char*, const char*> marked[] = {
        {"main.html", "MAIN"}, {"add_user.html", "ADD"}, {"del_user.html", "DEL"},
        {"view_user.html", "VIEW"}};
    for (const auto& [name, mark] : marked) {
      write_file(box.www() + "/html/" + name, std::string(mark) + " %-W\n");
    }
    write_file(box.www() + "/html/mod_user.html", kViewTemplate);
    acl("admins * alice\n");
  }

  void acl(const std::string& text) { write_file(box.www() + "/larkspur.acl", text); }

  // With a time limit, a program still running then is stopped (status 124).
  RunResult post(const std::string& body, int time_limit = 0) {
    RunOptions options;
    options.argv = {build_output("larkspur-sandbox.cgi")};
    if (time_limit > 0) {
      options.argv.insert(options.argv.begin(), {"/usr/bin/timeout", std::to_string(time_limit)});
    }
    options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=POST", "TZ=UTC",
                   "CONTENT_LENGTH=" + std::to_string(body.size()), "LARKSPUR_ROOT=" + box.root()};
    options.input = body;
    options.workdir = box.www();
    return run_program(options);
  }
  // The page without its header; a missing header shows as a failure.
  std::string page(const std::string& body) {
    RunResult r = post(body);
    EXPECT_EQ(r.status, 0) << body;
    EXPECT_EQ(r.out.substr(0, kHeader.size()), kHeader) << body;
    return r.out.substr(std::min(r.out.size(), kHeader.size()));
  }
  void add(const std::string& user, const std::string& extra = "") {
    ASSERT_NE(page("nav=add_user&eaddr=" + user + "@example.com&cpass=pw" + extra).find(" created"),
              std::string::npos);
  }

  // The stored line of a user, split into its fields (empty: no line).
  std::vector<std::string> line_of(const std::string& user) {
    for (const std::string& line : lines_of(read_file(domain_dir + "/tpasswd"))) {
      if (line.rfind(user + ":", 0) == 0) return fields_of(line);
    }
    return {};
  }
  std::string lastauth(const std::string& user) { return domain_dir + "/" + user + "/lastauth"; }

  // The account view as the fixture prints it for joe@example.com.
  struct View {
    std::string messages = "", name = "joe", quota = "NOQUOTA", flags = ",,,,,,", when = "",
                from = kNever,
                          use = "0%";
  };
  std::string view(const View& v) {
    return "MOD " + v.messages + "|UA=joe@example.com|UN=" + v.name + "|UQ=" + v.quota +
           "|UD=" + domain_dir + "/joe|F=" + v.flags + "|UT=" + v.when + "|UZ=" + v.from +
           "|UU=" + v.use + "|DN=example.com\n";
  }
  // The last-login time of joe's record as the view prints it.
  std::string joe_login_time() {
    struct stat st;
    // The record creation writes is no login: its time is not shown either.
    if (stat(lastauth("joe").c_str(), &st) != 0 || read_file(lastauth("joe")) == "0.0.0.0") {
      return kNever;
    }
    return asctime_utc(st.st_mtime);
  }

  Sandbox box;
  std::string domain_dir;
};

TEST_F(AccountPages, EachHandlerTestsItsOwnRight) {
  const std::map<std::string, std::string> denied = {
      {"add_user", "MAIN Add Email Account: Permission denied<BR><BR>\n"},
      {"del_user", "MAIN Delete Email Account: Permission denied<BR><BR>\n"},
      {"view_user", "MAIN View Email Account: Permission denied<BR><BR>\n"},
      {"mod_user", "MAIN Modify Email Account: Permission denied<BR><BR>\n"},
      {"show_users", "MAIN View Email Account: Permission denied<BR><BR>\n"},
      {"view_routing", "MAIN View Email Account: Permission denied<BR><BR>\n"},
      {"mod_forward", "MAIN Modify Forwards: Permission denied<BR><BR>\n"},
      {"mod_vacation", "MAIN Modify Vacation: Permission denied<BR><BR>\n"},
  };
  const std::map<std::string, std::string> letter = {{"add_user", "C"},  {"del_user", "D"},
                                                     {"view_user", "V"}, {"mod_user", "M"},
                                                     {"show_users", "V"}, {"view_routing", "V"},
                                                     {"mod_forward", "M"}, {"mod_vacation", "M"}};
  for (const std::string rights : {"", "C", "D", "V", "M", "AXIU", "cdvm", "*"}) {
    acl("admins " + rights + " alice\n");
    for (const auto& [nav, text] : denied) {
      // Forms without their fields: an allowed handler answers with its own
      // failure, a refused one with the permission text.
      std::string shown = page("nav=" + nav);
      bool allowed = rights == "*" || rights.find(letter.at(nav)) != std::string::npos;
      EXPECT_EQ(shown == text, !allowed) << "rights '" << rights << "' " << nav << ": " << shown;
    }
  }
}

TEST_F(AccountPages, MissingOrUnknownAccountsNameTheirPage) {
  add("ann");
  const struct {
    std::string body, shown;
  } cases[] = {
      {"nav=add_user", "ADD Add Email Account: Failed: no email address given<BR><BR>\n"},
      {"nav=add_user&eaddr=&cpass=x", "ADD Add Email Account: Failed: no email address given<BR><BR>\n"},
      {"nav=add_user&eaddr=a b@example.com&cpass=x",
       "ADD Add Email Account: Failled: invalid characters in email address <BR><BR>\n"},
      {"nav=add_user&eaddr=ANN@example.com&cpass=x",
       "ADD Add User: Failed: account already exist<BR><BR>\n"},
      {"nav=add_user&eaddr=bob@example.com", "ADD Add Email Account: Failed: no password given<BR><BR>\n"},
      {"nav=add_user&eaddr=bob@nowhere.example&cpass=x",
       "MAIN Create Account bob@nowhere.example error Domain does not exist<BR><BR>\n"},
      {"nav=add_user&eaddr=b@example.com&cpass=x",
       "MAIN Create Account b@example.com error Illegal username<BR><BR>\n"},
      {"nav=del_user", "DEL Delete Email Account: Failed: no email address given<BR><BR>\n"},
      {"nav=del_user&eaddr=bob@example.com", "MAIN User does not exist<BR><BR>\n"},
      {"nav=view_user&eaddr=", "VIEW Add Email Account: Failed: no email address given<BR><BR>\n"},
      {"nav=view_user&eaddr=bob@example.com", "VIEW View User: account does not exist<BR><BR>\n"},
      {"nav=mod_user", "MOD Modify Email Account: Failed: no email address given<BR><BR>|UA=|UN=|UQ=|UD=|F=,,,,,,|UT=|UZ=|UU=|DN=\n"},
      {"nav=mod_user&eaddr=Bob@Example.com",
       "MOD Modify User: account does not exist<BR><BR>|UA=|UN=|UQ=|UD=|F=,,,,,,|UT=|UZ=|UU=|DN=\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(page(c.body), c.shown) << c.body;
  // Nothing but ann was ever created.
  EXPECT_EQ(lines_of(read_file(domain_dir + "/tpasswd")).size(), 1u);
  EXPECT_FALSE(file_exists(domain_dir + "/bob"));
}

TEST_F(AccountPages, AddShowsTheNewAccountInSmallLetters) {
  std::string shown = page("nav=add_user&eaddr=JOE@Example.COM&cpass=pw");
  EXPECT_EQ(shown, view({.messages = "Email Account joe@example.com created<BR><BR>",
                         .when = joe_login_time()}));
  std::vector<std::string> line = line_of("joe");
  ASSERT_EQ(line.size(), 7u);
  EXPECT_EQ(line[1].rfind("$6$", 0), 0u);
  EXPECT_EQ(line[2] + ":" + line[3] + ":" + line[4] + ":" + line[5] + ":" + line[6],
            "1:0:joe:" + domain_dir + "/joe:NOQUOTA");
  EXPECT_EQ(read_file(lastauth("joe")), "0.0.0.0");
}

TEST_F(AccountPages, CheckBoxesSetTheWholeFlagWord) {
  const struct {
    std::string boxes;
    int gid;
    std::string view;
  } cases[] = {
      {"", 0, ",,,,,,"},
      {"&upassc=on&udisable=on&uweb=on&uimap=on&ubounce=on&urelay=on&ukestrel=on", 0x103f,
       "CHECKED,CHECKED,CHECKED,CHECKED,CHECKED,CHECKED,CHECKED"},
      {"&udisable=&uweb=", 0x6, ",CHECKED,CHECKED,,,,"},
      {"&ukestrel=no", 0x1000, ",,,,,,CHECKED"},
      {"&ubounce=1&urelay=1", 0x30, ",,,,CHECKED,CHECKED,"},
      {"&UDISABLE=on&disable=on", 0, ",,,,,,"},
  };
  for (const auto& c : cases) {
    for (const std::string nav : {"add_user", "mod_user"}) {
      if (nav == "add_user" && !line_of("joe").empty()) {
        ASSERT_NE(page("nav=del_user&eaddr=joe@example.com").find("deleted"), std::string::npos);
      }
      if (nav == "mod_user") {
        // Start from the opposite word, so every bit is seen to change.
        std::string all = "&upassc=&udisable=&uweb=&uimap=&ubounce=&urelay=&ukestrel=";
        page("nav=mod_user&eaddr=joe@example.com" + std::string(c.gid ? "" : all));
      }
      std::string shown = page("nav=" + nav + "&eaddr=joe@example.com&cpass=pw" + c.boxes);
      EXPECT_NE(shown.find("|F=" + c.view + "|"), std::string::npos) << nav << c.boxes << shown;
      ASSERT_EQ(line_of("joe").size(), 7u) << nav << c.boxes;
      EXPECT_EQ(line_of("joe")[3], std::to_string(c.gid)) << nav << c.boxes;
    }
  }
}

// A browser sends a blank as "+" and a typed "+" as %2B: every field of both
// pages gets what was typed.
TEST_F(AccountPages, PlusSignsAreBlanksAndTypedPlusSignsStay) {
  add("joe", "&fname=John+Smith");
  EXPECT_EQ(line_of("joe")[4], "John Smith");
  std::string shown = page("nav=mod_user&eaddr=joe@example.com&fname=Jane+Q+Doe&cpass=a%2Bb&quota=12S");
  EXPECT_EQ(shown, view({.messages = "Modify Account joe@example.com success<BR><BR>",
                         .name = "Jane Q Doe", .quota = "12S", .when = joe_login_time()}));
  std::vector<std::string> line = line_of("joe");
  EXPECT_EQ(line[4] + "|" + line[6], "Jane Q Doe|12S");
  // The typed plus sign reaches the password: openssl finds the same hash for "a+b".
  size_t salt_end = line[1].find('$', 3);
  RunOptions options;
  options.argv = {"/usr/bin/openssl", "passwd", "-6", "-salt", line[1].substr(3, salt_end - 3), "a+b"};
  options.env = {"PATH=/usr/bin:/bin"};
  EXPECT_EQ(run_program(options).out, line[1] + "\n");
}

TEST_F(AccountPages, ModifyKeepsWhatTheFormLeavesOut) {
  add("joe", "&fname=Joe&quota=5000S&ukestrel=on&uimap=on");
  std::vector<std::string> before = line_of("joe");
  EXPECT_EQ(before[3] + "|" + before[4] + "|" + before[6], "4104|Joe|5000S");
  EXPECT_EQ(page("nav=mod_user&eaddr=joe@example.com"),
            view({.messages = "Modify Account joe@example.com success<BR><BR>", .name = "Joe",
                  .quota = "5000S", .when = joe_login_time()}));
  std::vector<std::string> after = line_of("joe");
  EXPECT_EQ(after[1], before[1]);
  EXPECT_EQ(after[3] + "|" + after[4] + "|" + after[6], "0|Joe|5000S");

  // With password changing switched off a new password is passed over.
  page("nav=mod_user&eaddr=joe@example.com&upassc=on");
  EXPECT_EQ(page("nav=mod_user&eaddr=joe@example.com&cpass=new&upassc=on"),
            view({.messages = "Modify Account joe@example.com success<BR><BR>", .name = "Joe",
                  .quota = "5000S", .flags = "CHECKED,,,,,,", .when = joe_login_time()}));
  EXPECT_EQ(line_of("joe")[1], before[1]);
  // The old word decides: the request that clears 0x1 still keeps the
  // password, the next one changes it.
  page("nav=mod_user&eaddr=joe@example.com&cpass=new");
  EXPECT_EQ(line_of("joe")[1], before[1]);
  page("nav=mod_user&eaddr=joe@example.com&cpass=new");
  EXPECT_NE(line_of("joe")[1], before[1]);
}

TEST_F(AccountPages, QuotaTextOverTwentyCharactersIsRefusedOnDisk) {
  const std::string long_quota = "123456789012345678901S", normal = "18446744073709551615S";
  std::string added = page("nav=add_user&eaddr=joe@example.com&cpass=pw&uimap=on&quota=" + long_quota);
  EXPECT_EQ(added,
            view({.messages = "Email Account joe@example.com created<BR>Add Account: Failure:  "
                              "joe@example.com set options<BR><BR>",
                  .quota = normal, .flags = ",,,CHECKED,,,", .when = joe_login_time()}));
  EXPECT_EQ(line_of("joe")[3] + "|" + line_of("joe")[6], "0|NOQUOTA");
  EXPECT_EQ(page("nav=mod_user&eaddr=joe@example.com&quota=" + long_quota),
            view({.messages = "Modify Account joe@example.com error quota too long<BR><BR>",
                  .quota = normal, .when = joe_login_time()}));
  EXPECT_EQ(line_of("joe")[6], "NOQUOTA");
}

// Both pages store the normal form of a typed quota and refuse, changing
// nothing, a text that would not be stored as meant.
TEST_F(AccountPages, QuotaIsStoredAsMeantOrRefused) {
  EXPECT_EQ(page("nav=add_user&eaddr=ann@example.com&cpass=pw&quota=lots"),
            "ADD quota not understood: lots<BR><BR>\n");
  EXPECT_TRUE(line_of("ann").empty());
  add("joe", "&quota=1GB");
  EXPECT_EQ(line_of("joe")[6], "1073741824S");
  EXPECT_EQ(page("nav=mod_user&eaddr=joe@example.com&fname=X&quota=10%20MB"),
            view({.messages = "quota not understood: 10 MB<BR><BR>", .quota = "1073741824S",
                  .when = joe_login_time()}));
  EXPECT_EQ(line_of("joe")[4] + "|" + line_of("joe")[6], "joe|1073741824S");
  page("nav=mod_user&eaddr=joe@example.com&quota=10MB");
  EXPECT_EQ(line_of("joe")[6], "10485760S");
}

TEST_F(AccountPages, ViewShowsTheLastLoginPlainly) {
  add("joe");
  const time_t when = 1000000000;  // Sun Sep  9 01:46:40 2001 UTC
  const struct {
    const char* what;
    const char* content;  // nullptr: no record
    std::string shown_when, shown_from;
  } cases[] = {
      {"no record", nullptr, kNever, kNever},
      {"never used", "0.0.0.0", kNever, kNever},
      {"an address", "192.0.2.7", asctime_utc(when), "192.0.2.7"},
      {"an address with its line end", "192.0.2.7\n", asctime_utc(when), "192.0.2.7\n"},
      {"markup", "<b>&", asctime_utc(when), "&lt;b&gt;&amp;"},
      {"empty", "", asctime_utc(when), kNever},
  };
  for (const auto& c : cases) {
    unlink(lastauth("joe").c_str());
    if (c.content) {
      write_file(lastauth("joe"), c.content);
      struct utimbuf times = {when, when};
      utime(lastauth("joe").c_str(), &times);
    }
    EXPECT_EQ(page("nav=view_user&eaddr=Joe@example.com"),
              view({.when = c.shown_when, .from = c.shown_from}))
        << c.what;
  }
}

TEST_F(AccountPages, ViewShowsHowFullTheMailboxIs) {
  add("joe", "&quota=1000S");
  write_file(domain_dir + "/joe/Maildir/new/1.M1.test", std::string(250, 'x'));
  // The usage cache that the first view wrote knows nothing of a message
  // put there by hand; without it the mailbox is counted again.
  unlink((domain_dir + "/joe/Maildir/maildirsize").c_str());
  EXPECT_NE(page("nav=view_user&eaddr=joe@example.com").find("|UU=25%|"), std::string::npos);
  page("nav=mod_user&eaddr=joe@example.com&quota=NOQUOTA");
  EXPECT_NE(page("nav=view_user&eaddr=joe@example.com").find("|UU=0%|"), std::string::npos);
}

// A usage daemon that takes the connection but never answers: the new
// account's quota and the view's use are one question to it, so one
// connection and one time-out, after which the files are counted.
TEST_F(AccountPages, ASilentUsageDaemonIsAskedOncePerMailbox) {
  write_file(box.path("/usr/local/tessera/etc/tlimits.default"), "default_quota: 1000S\n");
  const std::string socket_path = box.root() + "/usage.sock";
  int daemon = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(daemon, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(daemon, 8), 0);
  write_file(box.www() + "/tmeterc.conf", "Server: Timeout = 1; Filename = " + socket_path + ";\n");
  RunResult r = post("nav=add_user&eaddr=joe@example.com&cpass=pw", 20);
  EXPECT_NE(r.out.find("created<BR><BR>|UA=joe@example.com|UN=joe|UQ=1000S|"), std::string::npos);
  EXPECT_EQ(r.err, "client_query: timeout on response\n");
  EXPECT_EQ(read_file(domain_dir + "/joe/Maildir/maildirsize"), "1000S\n0 0\n");
  int connections = 0;
  for (int peer; (peer = accept(daemon, nullptr, nullptr)) >= 0; ++connections) close(peer);
  EXPECT_EQ(connections, 1);
  close(daemon);
}

TEST_F(AccountPages, EmptyPasswordGivesAnEmptyPasswordField) {
  ASSERT_NE(page("nav=add_user&eaddr=joe@example.com&cpass=").find(" created"), std::string::npos);
  ASSERT_EQ(line_of("joe").size(), 7u);
  EXPECT_EQ(line_of("joe")[1], "");
}

TEST_F(AccountPages, DeleteRemovesLineAndMailbox) {
  add("joe");
  add("ann");
  EXPECT_EQ(page("nav=del_user&eaddr=JOE@example.com"),
            "MAIN Email Acount joe@example.com deleted<BR><BR>\n");
  EXPECT_TRUE(line_of("joe").empty());
  EXPECT_FALSE(line_of("ann").empty());
  EXPECT_FALSE(file_exists(domain_dir + "/joe"));
}

// ---- The user list ----------------------------------------------------------

class ShowUsers : public AccountPages {
 protected:
  std::string font() { return "<FONT face=Arial color=\"#00f\">"; }
  std::string bare() { return "<FONT face=Arial color=#00f>"; }
  void SetUp() override {
    AccountPages::SetUp();
    write_file(box.www() + "/html/en", "055 #fff\n056 #00f\n057 Arial\n058 2\n");
  }
  std::string head(const std::string& dname) {
    return "<HTML><HEAD><TITLE>Show Users</TITLE><link href=\"/images/larkspur/larkspur.css\" "
           "rel=\"stylesheet\" rev=\"stylesheet\" type=\"text/css\" media=\"all\"></HEAD>\n"
           "<body bgcolor=#fff vlink=#00f link=#00f alink=#00f>\n"
           "<FONT face=\"Arial\" SIZE=\"2\" color=\"#00f\">\n<B>Users for " + dname +
           "</B>\n<table cellspacing=5>\n";
  }
  std::string account_heads() {
    std::string out = "<tr><th align=left>" + font() + "User</FONT></th>\n";
    for (const char* h : {"Forward", "Vacation", "Quota", "Domain Administrator"}) {
      out += "<th>" + font() + h + "</FONT></th>\n";
    }
    return out + "<th>" + font() + "Last Logon</FONT></th></tr><BR>\n";
  }
  std::string row(const std::string& link, const std::string& name, const std::string& forward,
                  const std::string& vacation, const std::string& quota, bool admin,
                  const std::string& login) {
    return "<tr><td>" + font() + "<a href=larkspur.cgi?nav=view_user&eaddr=" + link + ">" + name +
           "</a></FONT></td>\n<td align=middle>" + font() + forward +
           "</FONT></td>\n<td align=middle>" + font() + vacation + "</FONT></td>\n" +
           "<td align=middle>" + font() + quota + "</FONT></td><td align=middle>" + bare() +
           (admin ? "<B>Yes</B>" : "No") + "</FONT></td>\n<td align=middle>" + bare() + login +
           "</font></td></tr>\n";
  }
  std::string alias_head(const std::string& dname) {
    return "</table>\n<HR>\n<B>Alias/Forwards for " + dname +
           "</B> <a href=larkspur.cgi?nav=show_aliases&dname=" + dname +
           ">Change aliases</a>\n<table cellspacing=5>\n"
           "<tr><th align=left>" + font() + "<B>Name</B></FONT>\n</th><th>" + font() +
           "<B>Alias/Forward</B></FONT></th><BR></tr>\n";
  }
  std::string list_head(const std::string& dname) {
    return "</table>\n<HR>\n<B>Mailing lists for " + dname + "</B><BR>\n<table>\n";
  }
  std::string foot() {
    return "</table>\n<HR>\n<a href=\"/cgi-bin/larkspur/larkspur.cgi\">Main Larkspur Menu</a>"
           "<BR><BR>\n" + kVersionLines;
  }
  void set_login(const std::string& user, const std::string& content, time_t when) {
    write_file(lastauth(user), content);
    struct utimbuf times = {when, when};
    utime(lastauth(user).c_str(), &times);
  }
};

TEST_F(ShowUsers, RefusalsShowTheMainPage) {
  const struct {
    std::string body, shown;
  } cases[] = {
      {"nav=show_users", "MAIN Show Users: Failed: no domain name given<BR><BR>\n"},
      {"nav=show_users&dname=", "MAIN Show Users: Failed: domain does not exist<BR><BR>\n"},
      {"nav=show_users&dname=nowhere.example",
       "MAIN Show Users: Failed: domain does not exist<BR><BR>\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(page(c.body), c.shown) << c.body;
}

TEST_F(ShowUsers, DomainWithoutAccountsSaysSo) {
  EXPECT_EQ(page("nav=show_users&dname=Example.COM"),
            head("example.com") + "<tr><td>" + font() +
                "Domain example.com does not exist</FONT></td></tr></table>\n" +
                alias_head("example.com") + list_head("example.com") + foot());
}

TEST_F(ShowUsers, ListsAccountsAliasesAndListsWithHostileTextsEscaped) {
  add("ann", "&ukestrel=on&quota=5000S");
  add("joe");
  add("zed");
  write_file(domain_dir + "/joe/.qmail",
             "&bob@example.org\n|/usr/bin/autorespond 3600 5 msg\n&\"><script>x</script>@e.org\n");
  write_file(domain_dir + "/zed/.qmail", "./Maildir/\n");
  // A real address as long as the creation mark: only the mark means never.
  set_login("ann", "1.2.3.4", 1000000000);
  unlink(lastauth("zed").c_str());
  // A line written by hand into the password file, with markup in its name
  // and quota.
  std::string tpasswd = read_file(domain_dir + "/tpasswd");
  write_file(domain_dir + "/tpasswd", tpasswd + "<i>&x:pw:1:0:x:" + domain_dir + "/none:<b>\n");

  const std::map<std::string, std::string> dot_qmail = {
      {".qmail-sales", "&bob@example.org\n" + domain_dir + "/joe/Maildir/\n# note\n\n"},
      {".qmail-odd", "./Maildir/\nx\n"},
      {".qmail-a<b>", "&c@d.org\n"},
      {".qmail-prog", "|/usr/bin/prog\n"},
      {".qmail-sales-owner", "&owner@example.org\n"},
      {".qmail-sales-default", "&default@example.org\n"},
      {".qmail-list", "|/usr/bin/ezmlm-reject '" + domain_dir + "/list'\n"},
      {".qmail-list-default", "|/usr/bin/ezmlm-reject x\n"},
  };
  for (const auto& [name, text] : dot_qmail) write_file(domain_dir + "/" + name, text);
  const std::map<std::string, std::string> alias_rows = {
      {".qmail-sales", "<tr><td align=left>" + font() + "sales@example.com</td><td align=left>\n" +
                           font() + "forward: bob@example.org\n</FONT><BR>\n" + font() +
                           "alias: joe</FONT><BR>\n" + font() + "&nbsp</FONT><BR>\n" + font() +
                           "&nbsp</FONT><BR>\n</td></tr>\n"},
      {".qmail-odd", "<tr><td align=left>" + font() + "odd@example.com</td><td align=left>\n" +
                         font() + "alias: ./Maildir/</FONT><BR>\n" + font() +
                         "alias: x</FONT><BR>\n</td></tr>\n"},
      {".qmail-a<b>", "<tr><td align=left>" + font() + "a&lt;b&gt;@example.com</td><td align=left>\n" +
                          font() + "forward: c@d.org\n</FONT><BR>\n</td></tr>\n"},
  };
  const std::map<std::string, std::string> list_rows = {
      {".qmail-list", "<tr><td>" + font() + "list@example.com</td></tr>"},
      {".qmail-list-default", "<tr><td>" + font() + "list-default@example.com</td></tr>"},
  };
  std::string aliases, lists;
  for (const std::string& name : directory_order(domain_dir)) {
    if (alias_rows.count(name)) aliases += alias_rows.at(name);
    if (list_rows.count(name)) lists += list_rows.at(name);
  }
  // joe's record is the one creation wrote: its time is no login's. An
  // empty filter is no filter: a small domain prints exactly as ever.
  for (const char* extra : {"", "&filter=&page=2"}) {
  EXPECT_EQ(page("nav=show_users&dname=example.com" + std::string(extra)),
            head("example.com") + account_heads() +
                row("ann@example.com", "ann", "No", "No", "5000S", true, asctime_utc(1000000000)) +
                row("joe@example.com", "joe",
                    "bob@example.org\n&quot;&gt;&lt;script&gt;x&lt;/script&gt;@e.org\n", "Yes",
                    "NOQUOTA", false, "<B>NEVER LOGGED IN</B>") +
                row("zed@example.com", "zed", "No", "No", "NOQUOTA", false,
                    "<B>NEVER LOGGED IN</B>") +
                row("%3Ci%3E%26x@example.com", "&lt;i&gt;&amp;x", "No", "No", "&lt;b&gt;", false,
                    "<B>NEVER LOGGED IN</B>") +
                alias_head("example.com") + aliases + list_head("example.com") + lists + foot())
      << extra;
  }
}

TEST_F(ShowUsers, AnAliasDomainListsItsRealDomain) {
  add("joe");
  RunOptions options;
  options.argv = {build_output("tessera"), "--root", box.root(), "domain", "alias", "alias.example",
                  "example.com"};
  options.env = {"PATH=/usr/bin:/bin"};
  ASSERT_EQ(run_program(options).status, 0);
  std::string shown = page("nav=show_users&dname=ALIAS.example");
  EXPECT_EQ(shown.substr(0, head("example.com").size()), head("example.com"));
  EXPECT_NE(shown.find("eaddr=joe@example.com>joe</a>"), std::string::npos);
}

TEST_F(ShowUsers, MailboxDotQmailIsReadOnlyAsAPlainFile) {
  add("joe");
  add("ann");
  write_file(box.root() + "/secret", "&leaked@example.org autorespond\n");
  ASSERT_EQ(symlink((box.root() + "/secret").c_str(), (domain_dir + "/joe/.qmail").c_str()), 0);
  ASSERT_EQ(mkfifo((domain_dir + "/ann/.qmail").c_str(), 0600), 0);
  std::string shown = page("nav=show_users&dname=example.com");
  EXPECT_EQ(shown.find("leaked"), std::string::npos);
  EXPECT_EQ(shown.find("Yes"), std::string::npos);
  EXPECT_NE(shown.find("eaddr=joe@example.com>joe</a></FONT></td>\n<td align=middle>" + font() +
                       "No</FONT></td>"),
            std::string::npos);
}

// A dot-qmail file is judged on its first 64 KiB, read once: one of 1 TiB
// (sparse: no disk used) costs no more, so the page comes back at once, and
// what lies past the prefix ("autorespond" here) is not seen.
TEST_F(ShowUsers, HugeSparseDotQmailIsJudgedOnItsPrefix) {
  add("joe");
  for (const std::string& path : {domain_dir + "/joe/.qmail", domain_dir + "/.qmail-big"}) {
    write_file(path, "&fwd@example.org\n");
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "autorespond\n", 12, 64 * 1024), 12);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 40), 0);
    close(fd);
  }
  RunResult r = post("nav=show_users&dname=example.com", 60);
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(row("joe@example.com", "joe", "fwd@example.org\n", "No", "NOQUOTA", false,
                           "<B>NEVER LOGGED IN</B>")),
            std::string::npos);
  EXPECT_NE(r.out.find("big@example.com</td><td align=left>\n" + font() +
                       "forward: fwd@example.org\n</FONT><BR>\n"),
            std::string::npos);
  EXPECT_EQ(r.out.find("autorespond"), std::string::npos);
  const std::string end = list_head("example.com") + foot();
  EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), end.size())), end);
}

// A domain of 2,500 mailboxes (every other name hostile markup) shows 1,000
// rows a page, with a line saying which, links to the pages beside it
// (above and below the table) and the filter form; a page asked for past the
// end shows the last one, and one that is no number the first.
TEST_F(ShowUsers, LargeDomainIsShownAPageAtATime) {
  std::string tpasswd;
  for (int i = 0; i < 2500; ++i) {
    char name[32];
    snprintf(name, sizeof name, i % 2 ? "<b>&'\"%04d" : "u%04d", i);
    tpasswd += std::string(name) + ":pw:1:0:x:" + domain_dir + "/m" + std::to_string(i) + ":NOQUOTA\n";
  }
  write_file(domain_dir + "/tpasswd", tpasswd);
  const std::string hostile = "%3CB%3E%26%27%22";
  auto link = [&](int to, const std::string& filter, const std::string& label) {
    return " <a href=larkspur.cgi?nav=show_users&dname=example.com&page=" + std::to_string(to) +
           "&filter=" + filter + ">" + font() + label + "</FONT></a>";
  };
  const struct {
    std::string query;
    size_t rows;
    std::string line, first, value;
  } cases[] = {
      {"", 1000, "Users 1 to 1000 of 2500</FONT>" + link(2, "", "next"), "u0000", ""},
      {"&page=2x", 1000, "Users 1 to 1000 of 2500</FONT>" + link(2, "", "next"), "u0000", ""},
      {"&page=2", 1000,
       "Users 1001 to 2000 of 2500</FONT>" + link(1, "", "previous") + link(3, "", "next"),
       "u1000", ""},
      {"&page=3", 500, "Users 2001 to 2500 of 2500</FONT>" + link(2, "", "previous"), "u2000", ""},
      {"&page=99999999999", 500, "Users 2001 to 2500 of 2500</FONT>" + link(2, "", "previous"),
       "u2000", ""},
      {"&filter=U00", 50, "Users 1 to 50 of 50</FONT>", "u0000", "U00"},
      {"&page=2&filter=" + hostile, 250,
       "Users 1001 to 1250 of 1250</FONT>" + link(1, hostile, "previous"),
       "&lt;b&gt;&amp;&#39;&quot;2001", "&lt;B&gt;&amp;&#39;&quot;"},
      {"&filter=nobody", 0, "No users match</FONT>", "", "nobody"},
  };
  for (const auto& c : cases) {
    const std::string shown = page("nav=show_users&dname=example.com" + c.query);
    const std::string line = font() + c.line + "<BR>\n";
    EXPECT_NE(shown.find("Users for example.com</B>\n" + line +
                         "<form method=get action=larkspur.cgi><input type=hidden name=nav "
                         "value=show_users><input type=hidden name=dname value=\"example.com\">"
                         "<label>" + font() + "Name contains</FONT> <input type=text name=filter "
                         "value=\"" + c.value + "\"></label> <input type=submit value=\"Show\">"
                         "</form>\n<table cellspacing=5>\n"),
              std::string::npos) << c.query << shown.substr(0, 2000);
    const bool links = c.line.find("<a href") != std::string::npos;
    EXPECT_EQ(shown.find("</table>\n" + line + "<HR>\n") != std::string::npos, links) << c.query;
    size_t rows = 0;
    for (size_t at = 0; (at = shown.find("<a href=larkspur.cgi?nav=view_user", at)) != std::string::npos; ++at) ++rows;
    EXPECT_EQ(rows, c.rows) << c.query;
    const size_t first = shown.find("@example.com>");
    if (rows > 0) {
      EXPECT_EQ(shown.substr(first, 17 + c.first.size()), "@example.com>" + c.first + "</a>");
    }
    EXPECT_EQ(shown.find("<B>&'\""), std::string::npos) << c.query;
  }
}

}  // namespace

// A browser sends a typed "&" or "=" as %26 or %3D: it stays text of its own
// field and never adds a field of its own (here: the domain-administrator
// and bounce boxes, a second quota).
TEST_F(AccountPages, TypedSeparatorsStayInsideTheirField) {
  add("joe", "&fname=Tom%26ubounce%3D");
  EXPECT_EQ(line_of("joe")[3] + "|" + line_of("joe")[4], "0|Tom&ubounce=");
  std::string shown = page("nav=mod_user&eaddr=joe@example.com&fname=A%26ukestrel%3D");
  EXPECT_EQ(shown, view({.messages = "Modify Account joe@example.com success<BR><BR>",
                         .name = "A&amp;ukestrel=", .when = joe_login_time()}));
  std::vector<std::string> line = line_of("joe");
  EXPECT_EQ(line[3] + "|" + line[4], "0|A&ukestrel=");
  EXPECT_EQ(page("nav=mod_user&eaddr=joe@example.com&quota=5S%26quota%3D9S"),
            view({.messages = "quota not understood: 5S&amp;quota=9S<BR><BR>",
                  .name = "A&amp;ukestrel=", .when = joe_login_time()}));
}

// The forward and vacation forms write the mailbox's .qmail and vacation
// folder, show what is stored with every text escaped, and the user list
// reads back what they wrote.
TEST_F(ShowUsers, RoutingFormsWriteWhatTheUserListShows) {
  add("joe");
  write_file(box.www() + "/html/mod_routing.html",
             "ROUTE %-W|UA=$-UA|UE=$-UE|RF=$-RF|RK=$-RK|RS=$-RS|RT=$-RT|RU=$-RU\n");
  const std::string joe = "|UA=joe@example.com|UE=joe%40example.com";
  const std::string program = "|" + box.path("/usr/local/tessera/bin/tessera-autorespond ") +
                              domain_dir + "/joe\n";
  const struct {
    std::string body, shown, qmail;
  } cases[] = {
      {"nav=view_routing&eaddr=Joe@example.com", "ROUTE " + joe + "|RF=|RK=|RS=|RT=|RU=\n", ""},
      {"nav=mod_forward&eaddr=joe@example.com&forwards=a@other.net%0D%0A+B@Other.net,&keep=on",
       "ROUTE Forwards of joe@example.com saved<BR><BR>" + joe +
           "|RF=a@other.net\nB@other.net\n|RK=CHECKED|RS=|RT=|RU=\n",
       "&a@other.net\n&B@other.net\n./Maildir/\n"},
      {"nav=mod_forward&eaddr=joe@example.com&forwards=%3Cb%3E@other.net",
       "ROUTE Modify Forwards joe@example.com error Destination is no mail address<BR><BR>" + joe +
           "|RF=a@other.net\nB@other.net\n|RK=CHECKED|RS=|RT=|RU=\n",
       "&a@other.net\n&B@other.net\n./Maildir/\n"},
      {"nav=mod_vacation&eaddr=joe@example.com&vsubject=%22%3E%3Cb%3Eaway&vtext=%3C/textarea%3E"
       "%0D%0Abye&vuntil=2030-01-31",
       "ROUTE Vacation reply of joe@example.com saved<BR><BR>" + joe +
           "|RF=a@other.net\nB@other.net\n|RK=CHECKED|RS=&quot;&gt;&lt;b&gt;away"
           "|RT=&lt;/textarea&gt;\nbye|RU=2030-01-31\n",
       program + "&a@other.net\n&B@other.net\n./Maildir/\n"},
      {"nav=mod_vacation&eaddr=joe@example.com&vsubject=x&vtext=y&vuntil=31.01.2030",
       "ROUTE Modify Vacation joe@example.com error Invalid last day: give it as YYYY-MM-DD"
       "<BR><BR>" + joe + "|RF=a@other.net\nB@other.net\n|RK=CHECKED|RS=&quot;&gt;&lt;b&gt;away"
           "|RT=&lt;/textarea&gt;\nbye|RU=2030-01-31\n",
       program + "&a@other.net\n&B@other.net\n./Maildir/\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(page(c.body), c.shown) << c.body;
    EXPECT_EQ(file_exists(domain_dir + "/joe/.qmail") ? read_file(domain_dir + "/joe/.qmail") : "",
              c.qmail) << c.body;
  }
  EXPECT_EQ(read_file(domain_dir + "/joe/vacation/message"), "</textarea>\nbye");
  const std::string listed = page("nav=show_users&dname=example.com");
  EXPECT_NE(listed.find(row("joe@example.com", "joe", "a@other.net\nB@other.net\n", "Yes",
                            "NOQUOTA", false, "<B>NEVER LOGGED IN</B>")),
            std::string::npos) << listed;
  EXPECT_EQ(page("nav=mod_vacation&eaddr=joe@example.com&off=yes").rfind(
                "ROUTE Vacation reply of joe@example.com removed<BR><BR>|", 0),
            0u);
  EXPECT_EQ(page("nav=mod_forward&eaddr=joe@example.com&forwards=x@other.net&off=yes").rfind(
                "ROUTE Forwards of joe@example.com removed<BR><BR>|", 0),
            0u);
  EXPECT_FALSE(file_exists(domain_dir + "/joe/.qmail"));
  EXPECT_FALSE(file_exists(domain_dir + "/joe/vacation"));
}

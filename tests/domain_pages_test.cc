// The domain pages end to end through the sandbox program: each handler's
// messages and pages, the limits file it writes, the list page byte for
// byte, the rights that open each page, the cross-site request guard and the
// audit log of every command that changes the store.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/testlib/testlib.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = "Content-type: text/html\n\n";
const char kNotLogged[] = "The change was made but could not be written to the audit log";
const std::string kVersionLines =
    "<a href=https://larkspur-mail.org/>larkspur</a> 1.0<BR>\n"
    "<a href=https://larkspur-mail.org/tessera/>tessera</a> 1.0<BR>\n";
const std::string kListHead =
    "<HTML><HEAD><TITLE>List Domains</TITLE><link href=\"/images/larkspur/larkspur.css\" "
    "rel=\"stylesheet\" rev=\"stylesheet\" type=\"text/css\" media=\"all\"> </HEAD>\n"
    "<body bgcolor=#ffffff vlink=#000080 link=#000080 alink=#000080>\n"
    "<FONT face=\"Arial\" SIZE=\"2\" color=\"#000080\">\n";
const std::string kListFoot =
    "<HR>\n<a href=\"/cgi-bin/larkspur/larkspur.cgi\">Main Larkspur Menu</a><BR><BR>\n" +
    kVersionLines;
const std::string kViewVars =
    "DN=$-DN DD=$-DD DU=$-DU DG=$-DG DS=$-DS DP=$-DP QU=$-QU QL=$-QL MU=$-MU MA=$-MA MF=$-MF "
    "MR=$-MR ML=$-ML MQ=$-MQ MP=$-MP MI=$-MI MD=$-MD MC=$-MC MS=$-MS MW=$-MW";
const std::string kAllLimits =
    "lusers=10&lalias=11&lfor=12&lresponder=13&llists=14&quota=5000000S"
    "&upop=on&uimap=on&udialup=on&upassc=on&uweb=on&urelay=on";
const std::string kAllLimitsFile =
    "maxpopaccounts: 10\nmaxaliases: 11\nmaxforwards: 12\nmaxautoresponders: 13\n"
    "maxmailinglists: 14\ndefault_quota: 5000000S\ndisable_pop\ndisable_imap\n"
    "disable_dialup\ndisable_password_changing\ndisable_webmail\ndisable_external_relay\n";

mode_t mode_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// One sandbox with fixture templates that show exactly what each page got.
class Site {
 public:
  Site() {
    page("main.html", "MAIN %-W\n");
    page("add_domain.html", "ADD %-W\n");
    page("del_domain.html", "DEL %-W\n");
    page("view_domain.html", "VIEW DN=$-DN %-W\n");
    page("mod_domain.html", "MOD " + kViewVars + " %-W\n");
    page("init_error.html", "INIT E=%-E\n");
    page("error.html", "ERROR E=%-E\n");
    page("auth_failed.html", "AUTH\n");
    page("qmail_controls_top.html", "TOP %-W\n");
    page("qmail_controls_middle.html", "");
    page("qmail_controls_bottom.html", "BOTTOM\n");
    page("en", "055 #ffffff\n056 #000080\n057 Arial\n058 2\n");
    acl("admins * alice\n");
  }
  void page(const std::string& name, const std::string& text) {
    write_file(box.www() + "/html/" + name, text);
  }
  void acl(const std::string& text) { write_file(box.www() + "/larkspur.acl", text); }

  // A GET request, or the same form as a POST body (as the pages' forms
  // send it); extra environment as "NAME=value".
  RunResult get(const std::string& query, const std::vector<std::string>& extra = {},
                bool post = false) const {
    RunOptions options;
    options.argv = {build_output("larkspur-sandbox.cgi")};
    options.env = {"REMOTE_USER=alice", "LARKSPUR_ROOT=" + box.root(), "PATH=/usr/bin:/bin"};
    if (post) {
      options.env.push_back("REQUEST_METHOD=POST");
      options.env.push_back("CONTENT_LENGTH=" + std::to_string(query.size()));
      options.input = query;
    } else {
      options.env.push_back("REQUEST_METHOD=GET");
      options.env.push_back("QUERY_STRING=" + query);
    }
    options.env.insert(options.env.end(), extra.begin(), extra.end());
    options.workdir = box.www();
    return run_program(options);
  }
  // The page of a POST after the header; it must have ended with status 0.
  std::string page_of(const std::string& query, const std::vector<std::string>& extra = {}) {
    RunResult r = get(query, extra, true);
    EXPECT_EQ(r.status, 0) << query << "\n" << r.err;
    // A status line before the header stays with the page it answers.
    const size_t status_end = r.out.rfind("Status: ", 0) == 0 ? r.out.find('\n') + 1 : 0;
    EXPECT_EQ(r.out.substr(status_end, kHeader.size()), kHeader) << query;
    return r.out.substr(0, status_end) +
           r.out.substr(std::min(r.out.size(), status_end + kHeader.size()));
  }
  void add(const std::string& domain, const std::string& limits = "") {
    std::string page = page_of("nav=add_domain&dname=" + domain + "&pp=pw1" +
                               (limits.empty() ? "" : "&" + limits));
    ASSERT_EQ(page, "MAIN Created Domain<BR>Domain postmaster added<BR><BR>\n") << domain;
  }
  std::string dir(const std::string& domain) const {
    return box.path("/usr/local/tessera/domains/" + domain);
  }
  std::string limits(const std::string& domain) const { return dir(domain) + "/.kestrel-limits"; }
  std::string log() const { return read_file(box.path("/usr/local/tessera/etc/larkspur.log")); }

  Sandbox box;
};

// The view page for a domain made by add(): its fixed facts, then the rest.
std::string view(const Site& site, const std::string& domain, const std::string& rest) {
  return "MOD DN=" + domain + " DD=" + site.dir(domain) + " DU=89 DG=89 DS=" + rest;
}

TEST(DomainPages, AddDomainReportsEachStep) {
  const struct {
    const char* query;
    const char* page;
  } cases[] = {
      {"nav=add_domain&pp=x", "ADD Create Domain: Failed: Must supply domain name<BR><BR>\n"},
      {"nav=add_domain&dname=&pp=x", "ADD Create Domain: Failed: Must supply domain name<BR><BR>\n"},
      {"nav=add_domain&dname=a.example", "ADD Create Domain: Failed: Must supply password<BR><BR>\n"},
      {"nav=add_domain&dname=a.example&pp=", "ADD Create Domain: Failed: Must supply password<BR><BR>\n"},
      {"nav=add_domain&dname=bad_name&pp=x", "MAIN Invalid domain name<BR><BR>\n"},
      {"nav=add_domain&dname=ADD.example&pp=x",
       "MAIN Created Domain<BR>Domain postmaster added<BR><BR>\n"},
      {"nav=add_domain&dname=add.example&pp=x", "MAIN Domain already exists<BR><BR>\n"},
  };
  Site site;
  for (const auto& c : cases) EXPECT_EQ(site.page_of(c.query), c.page) << c.query;
  EXPECT_NE(read_file(site.dir("add.example") + "/tpasswd").find("postmaster:"), std::string::npos);
  EXPECT_FALSE(file_exists(site.dir("a.example")));
}

TEST(DomainPages, LimitsFileHoldsTheFormsLinesInOrderOwnedByTheDomain) {
  const struct {
    const char* what;
    std::string limits;
    std::string file;
  } cases[] = {
      {"every field", kAllLimits, kAllLimitsFile},
      {"no field", "", ""},
      {"empty values: counts dropped, switches kept", "lusers=&quota=&uimap=&urelay",
       "disable_imap\n"},
      {"values as given", "lalias=lots&lusers=-3&uweb=x", "maxpopaccounts: -3\nmaxaliases: lots\n"
                                                          "disable_webmail\n"},
      // A typed "&" or "=" (sent as %26, %3D) is part of the value: it adds
      // no switch line and no second count.
      {"typed separators", "lusers=5%26upop%3D%26lalias%3D9&lfor=%3D",
       "maxpopaccounts: 5&upop=&lalias=9\nmaxforwards: =\n"},
  };
  for (const auto& c : cases) {
    Site site;
    site.add("l.example", c.limits);
    EXPECT_EQ(read_file(site.limits("l.example")), c.file) << c.what;
    struct stat st {};
    ASSERT_EQ(lstat(site.limits("l.example").c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << c.what;
    EXPECT_EQ(st.st_uid, 89u) << c.what;
    EXPECT_EQ(st.st_gid, 89u) << c.what;
    for (const std::string& name : names_in(site.dir("l.example"))) {
      EXPECT_EQ(name.find(".kestrel-limits."), std::string::npos) << c.what << ": " << name;
    }
  }
}

TEST(DomainPages, ViewShowsTheDomainAndItsLimits) {
  Site site;
  site.add("v.example", kAllLimits);
  site.add("plain.example");
  unlink(site.limits("plain.example").c_str());
  EXPECT_EQ(site.page_of("nav=add_alias_domain&dname=v.example&adname=alias.example"),
            "MAIN Alias Domain Added<BR><BR>\n");
  const struct {
    const char* query;
    std::string page;
  } cases[] = {
      {"nav=view_domain&dname=v.example",
       view(site, "v.example", "1 DP= QU= QL=CHECKED MU=10 MA=11 MF=12 MR=13 ML=14 MQ=5000000S "
                               "MP=checked MI=checked MD=checked MC=checked MS=checked "
                               "MW=checked \n")},
      {"nav=view_domain&dname=Alias.Example",
       view(site, "v.example", "1 DP= QU= QL=CHECKED MU=10 MA=11 MF=12 MR=13 ML=14 MQ=5000000S "
                               "MP=checked MI=checked MD=checked MC=checked MS=checked "
                               "MW=checked \n")},
      {"nav=view_domain&dname=plain.example",
       view(site, "plain.example", "1 DP= QU=CHECKED QL= MU= MA= MF= MR= ML= MQ= MP= MI= MD= "
                                   "MC= MS= MW= \n")},
      {"nav=view_domain&dname=No.Such",
       "VIEW DN=no.such Domain no.such does not exist<BR><BR>\n"},
      {"nav=view_domain&dname=%3Cb%3E",
       "VIEW DN=&lt;b&gt; Domain &lt;b&gt; does not exist<BR><BR>\n"},
      {"nav=view_domain", "VIEW DN= View Domain: Failed: Must supply domain name<BR><BR>\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(site.page_of(c.query), c.page) << c.query;

  // The later of "quota" and "default_quota" wins; a key without its value
  // sets nothing; the postmaster's stored clear password is shown.
  write_file(site.limits("plain.example"),
             "quota: 5\ndefault_quota 9\nmaxaliases\nmaxforwards:\t7 x\n#disable_pop\n");
  std::string tpasswd = read_file(site.dir("plain.example") + "/tpasswd");
  write_file(site.dir("plain.example") + "/tpasswd",
             tpasswd.substr(0, tpasswd.size() - 1) + ":clear<i>\n");
  unlink((site.dir("plain.example") + "/tpasswd.cdb").c_str());
  EXPECT_EQ(site.page_of("nav=view_domain&dname=plain.example"),
            view(site, "plain.example", "1 DP=clear&lt;i&gt; QU= QL=CHECKED MU= MA= MF=7 MR= ML= "
                                        "MQ=9 MP= MI= MD= MC= MS= MW= \n"));
  unlink((site.dir("plain.example") + "/tpasswd").c_str());
  unlink((site.dir("plain.example") + "/tpasswd.cdb").c_str());
  EXPECT_NE(site.page_of("nav=view_domain&dname=plain.example")
                .find(" DP=Domain has no postmaster!! "),
            std::string::npos);
}

TEST(DomainPages, ModDomainRewritesTheLimitsAndThePostmasterPassword) {
  Site site;
  site.add("m.example", "lusers=5&perm=1");
  write_file(site.limits("m.example"), "maxmsgcount: 100\nperm_account: 7\nmaxpopaccounts: 5\n");
  std::string tpasswd = read_file(site.dir("m.example") + "/tpasswd");

  EXPECT_EQ(site.page_of("nav=mod_domain&dname=M.Example&lalias=3&quota=9"),
            view(site, "m.example", "1 DP= QU= QL=CHECKED MU= MA=3 MF= MR= ML= MQ=9 MP= MI= MD= "
                                    "MC= MS= MW= \n"));
  EXPECT_EQ(read_file(site.limits("m.example")), "maxaliases: 3\ndefault_quota: 9\n");
  EXPECT_EQ(read_file(site.dir("m.example") + "/tpasswd"), tpasswd);
  EXPECT_EQ(mode_of(site.limits("m.example")), 0600u);

  EXPECT_EQ(site.page_of("nav=mod_domain&dname=m.example&ppass=new"),
            view(site, "m.example", "1 DP= QU= QL=CHECKED MU= MA= MF= MR= ML= MQ= MP= MI= MD= "
                                    "MC= MS= MW= Postmaster password set<BR><BR>\n"));
  EXPECT_EQ(read_file(site.limits("m.example")), "");
  EXPECT_NE(read_file(site.dir("m.example") + "/tpasswd"), tpasswd);

  // A domain whose limits forbid password changes refuses it for the
  // postmaster too.
  EXPECT_NE(site.page_of("nav=mod_domain&dname=m.example&upassc=&ppass=other")
                .find("MC=checked MS= MW= Postmaster Password error Illegal username<BR><BR>\n"),
            std::string::npos);

  EXPECT_EQ(site.page_of("nav=mod_domain&lusers=1"),
            "MOD " + std::regex_replace(kViewVars, std::regex("\\$-.."), "") +
                " Mod Domain: Failed: Must supply domain name<BR><BR>\n");
  // An unknown domain gets no limits file anywhere.
  EXPECT_EQ(site.page_of("nav=mod_domain&dname=gone.example&lusers=1"),
            "VIEW DN=gone.example Domain gone.example does not exist<BR><BR>\n");
  EXPECT_FALSE(file_exists(site.limits("gone.example")));
  EXPECT_FALSE(file_exists(site.box.path("/usr/local/tessera/domains/.kestrel-limits")));
  EXPECT_FALSE(file_exists(site.box.www() + "/.kestrel-limits"));
}

TEST(DomainPages, ALimitsFileThatCannotBeReplacedStaysAsItWas) {
  Site site;
  site.add("f.example");
  // A folder in the file's place cannot be renamed over.
  unlink(site.limits("f.example").c_str());
  ASSERT_EQ(mkdir(site.limits("f.example").c_str(), 0700), 0);
  std::set<std::string> before = names_in(site.dir("f.example"));
  EXPECT_EQ(site.page_of("nav=mod_domain&dname=f.example&lusers=1"),
            "MAIN Create Domain: open .kestrel-limits failed<BR><BR>\n");
  EXPECT_EQ(names_in(site.dir("f.example")), before);
  EXPECT_TRUE(fs::is_directory(site.limits("f.example")));

  // A directory too long for the pages' path field is refused, whatever
  // the sandbox root in front of it.
  std::string long_dir = site.box.path("/usr/local/tessera/domains/" + std::string(120, 'd'));
  fs::create_directories(long_dir);
  write_file(site.box.path("/var/qmail/users/assign"),
             "+f.example-:f.example:89:89:" + site.dir("f.example") + ":-::\n"
                 "+long.example-:long.example:89:89:" + long_dir + ":-::\n.\n");
  RunOptions newu;
  newu.argv = {site.box.path("/var/qmail/bin/qmail-newu")};
  ASSERT_EQ(run_program(newu).status, 0);
  EXPECT_EQ(site.page_of("nav=mod_domain&dname=long.example&lusers=1"),
            "MAIN Create Domain: open .kestrel-limits failed<BR><BR>\n");
  EXPECT_FALSE(file_exists(long_dir + "/.kestrel-limits"));
}

TEST(DomainPages, DeleteAndAliasReportTheirOutcome) {
  Site site;
  site.add("d.example");
  const struct {
    const char* query;
    const char* page;
  } cases[] = {
      {"nav=del_domain", "DEL Delete Domain: Failed: Must supply domain name<BR><BR>\n"},
      {"nav=del_domain&dname=none.example", "MAIN Delete Domain: Failed<BR><BR>\n"},
      {"nav=add_alias_domain&adname=x.example",
       "ADD Add Alias Domain: Failed: Must supply domain name<BR><BR>\n"},
      {"nav=add_alias_domain&dname=d.example&adname=",
       "ADD Add Alias Domain: Failed: Must supply alias domain name<BR><BR>\n"},
      {"nav=add_alias_domain&dname=none.example&adname=x.example",
       "MAIN Domain does not exist<BR><BR>\n"},
      {"nav=add_alias_domain&dname=d.example&adname=X.example", "MAIN Alias Domain Added<BR><BR>\n"},
      {"nav=add_alias_domain&dname=d.example&adname=x.example",
       "MAIN Domain already exists<BR><BR>\n"},
      {"nav=del_domain&dname=D.Example", "MAIN Deleted Domain<BR><BR>\n"},
      {"nav=view_domain&dname=x.example", "VIEW DN=x.example Domain x.example does not exist<BR><BR>\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(site.page_of(c.query), c.page) << c.query;
  EXPECT_FALSE(file_exists(site.dir("d.example")));
}

TEST(DomainPages, ListShowsEveryDomainAndAliasByteForByte) {
  Site site;
  write_file(site.box.path("/var/qmail/users/assign"),
             "+example.com-:example.com:89:89:/d/example.com:-::\n"
             "+alias.org-:example.com:89:89:/d/example.com:-::\n"
             "+b.net-:b.net:89:89:/d/b.net:-::\n"
             "+a<b>&c\"-:x'y:89:89:/d/x:-::\n"
             "+a%b-\n"
             ".\n");
  const std::string example = "<a href=larkspur.cgi?nav=view_domain&dname=example.com>";
  const struct {
    const char* query;
    std::string page;
  } cases[] = {
      {"nav=list_domains",
       kListHead + "<B>All domains</B><BR>\n" + example + "example.com</a><BR>\n" + example +
           "alias.org</a> Aliased to example.com<BR>\n"
           "<a href=larkspur.cgi?nav=view_domain&dname=b.net>b.net</a><BR>\n"
           "<a href=larkspur.cgi?nav=view_domain&dname=x%27y>a&lt;b&gt;&amp;c&quot;</a> "
           "Aliased to x&#39;y<BR>\n" + kListFoot},
      {"nav=list_domains&dname=alias",
       kListHead + "<B>Domains containing alias</B><BR>\n" + example +
           "alias.org</a> Aliased to example.com<BR>\n" + kListFoot},
      {"nav=LIST_DOMAINS&dname=Alias", kListHead + "<B>Domains containing Alias</B><BR>\n" + kListFoot},
      {"nav=list_domains&dname=%3Cb%3E",
       kListHead + "<B>Domains containing &lt;b&gt;</B><BR>\n"
                   "<a href=larkspur.cgi?nav=view_domain&dname=x%27y>a&lt;b&gt;&amp;c&quot;</a> "
                   "Aliased to x&#39;y<BR>\n" + kListFoot},
  };
  for (const auto& c : cases) EXPECT_EQ(site.page_of(c.query), c.page) << c.query;

  // A domain administrator sees their real domains with the aliases of
  // them; a listed name that is someone else's alias shows nothing.
  write_file(site.box.www() + "/larkspur.scope", "alice example.com,alias.org\nbob b.net\n");
  EXPECT_EQ(site.page_of("nav=list_domains"),
            kListHead + "<B>All domains</B><BR>\n" + example + "example.com</a><BR>\n" + example +
                "alias.org</a> Aliased to example.com<BR>\n" + kListFoot);
  write_file(site.box.www() + "/larkspur.scope", "alice b.net,alias.org\n");
  EXPECT_EQ(site.page_of("nav=list_domains&dname=."),
            kListHead + "<B>Domains containing .</B><BR>\n"
                        "<a href=larkspur.cgi?nav=view_domain&dname=b.net>b.net</a><BR>\n" + kListFoot);
  unlink((site.box.www() + "/larkspur.scope").c_str());

  unlink(site.box.path("/var/qmail/users/assign").c_str());
  EXPECT_EQ(site.page_of("nav=list_domains"),
            kListHead + "<B>All domains</B><BR>\nMAIN List Domains: could not open assign file<BR><BR>\n");
}

// Each right letter opens exactly the pages that need it.
TEST(DomainPages, EachRightOpensExactlyItsPages) {
  const struct {
    const char* nav;
    char letter;
    const char* denied;
  } pages[] = {
      {"add_domain", 'A', "Create Domain: Permission denied"},
      {"del_domain", 'X', "Delete Domain: Permission denied"},
      {"view_domain", 'I', "View Domain: Permission denied"},
      {"mod_domain", 'U', "Mod Domain: Permission denied"},
      {"list_domains", 'I', "List Domains: Permission denied"},
      {"add_alias_domain", 'A', "Add Alias Domain: Permission denied"},
  };
  for (char letter : std::string("CDVMAXIU")) {
    Site site;
    site.acl(std::string("admins ") + letter + " alice\n");
    for (const auto& p : pages) {
      std::string page = site.page_of(std::string("nav=") + p.nav);
      std::string denial = std::string("MAIN ") + p.denied + "<BR><BR>\n";
      EXPECT_EQ(page == denial, letter != p.letter) << letter << " " << p.nav << ": " << page;
    }
  }
}

// ---- The cross-site request guard and the audit log -------------------------

TEST(ChangeGuard, RefusesCrossSiteRequestsToChangingCommandsOnly) {
  const struct {
    std::vector<std::string> headers;
    bool refused;
  } cases[] = {
      {{}, false},
      {{"HTTP_SEC_FETCH_SITE=same-origin"}, false},
      {{"HTTP_SEC_FETCH_SITE=none"}, false},
      {{"HTTP_SEC_FETCH_SITE=cross-site"}, true},
      {{"HTTP_SEC_FETCH_SITE=same-site"}, true},
      {{"HTTP_ORIGIN=http://mail.example:8080", "HTTP_HOST=mail.example:8080"}, false},
      {{"HTTP_ORIGIN=https://mail.example", "HTTP_HOST=MAIL.example:443", "HTTPS=on"}, false},
      {{"HTTP_ORIGIN=https://mail.example", "HTTP_HOST=mail.example", "HTTPS=on",
        "SERVER_PORT=443"},
       false},
      // The Origin's scheme never stands in for the request's own.
      {{"HTTP_ORIGIN=http://mail.example", "HTTP_HOST=mail.example", "HTTPS=on",
        "SERVER_PORT=443"},
       true},
      {{"HTTP_ORIGIN=https://mail.example", "HTTP_HOST=mail.example:443"}, true},
      {{"HTTP_ORIGIN=http://mail.example", "HTTP_HOST=mail.example", "SERVER_PORT=8080"}, true},
      {{"HTTP_ORIGIN=http://mail.example:8081", "HTTP_HOST=mail.example:8080"}, true},
      {{"HTTP_ORIGIN=http://evil.example", "HTTP_HOST=mail.example"}, true},
      {{"HTTP_ORIGIN=null", "HTTP_HOST=mail.example"}, true},
      {{"HTTP_ORIGIN=http://mail.example"}, true},
      {{"HTTP_SEC_FETCH_SITE=same-origin", "HTTP_ORIGIN=http://evil.example",
        "HTTP_HOST=mail.example"},
       true},
      {{"HTTP_SEC_FETCH_SITE=cross-site", "HTTP_ORIGIN=http://mail.example",
        "HTTP_HOST=mail.example"},
       true},
  };
  for (const auto& c : cases) {
    std::string what;
    for (const std::string& h : c.headers) what += h + " ";
    Site site;
    EXPECT_EQ(site.page_of("nav=add_domain&dname=g.example&pp=x", c.headers),
              c.refused ? "Status: 403 Forbidden\nINIT E=Cross-site request refused\n"
                        : "MAIN Created Domain<BR>Domain postmaster added<BR><BR>\n")
        << what;
    EXPECT_EQ(file_exists(site.dir("g.example")), !c.refused) << what;
    if (c.refused) {
      EXPECT_EQ(read_file(site.box.path("/var/qmail/users/assign")), "") << what;
      EXPECT_EQ(names_in(site.box.path("/usr/local/tessera")),
                (std::set<std::string>{"bin", "etc"}))
          << what;
    }
    // A page that only shows is never refused.
    EXPECT_EQ(site.page_of("nav=view_domain&dname=g.example", c.headers).substr(0, 4),
              c.refused ? "VIEW" : "MOD ")
        << what;
  }
}

// The log line without its time, which is checked for its form.
std::vector<std::string> log_lines_without_time(const std::string& log) {
  std::vector<std::string> out;
  const std::regex time("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\t");
  for (const std::string& line : lines_of(log)) {
    EXPECT_TRUE(std::regex_search(line, time)) << line;
    out.push_back(line.substr(std::min<size_t>(line.size(), 21)));
  }
  return out;
}

TEST(AuditLog, EveryChangingRequestLeavesOneLineRefusedOrNot) {
  Site site;
  site.add("Log.Example", "lusers=1");
  site.page_of("nav=view_domain&dname=log.example");
  site.page_of("nav=list_domains");
  site.page_of("nav=del_domain&dname=log.example",
               {"REMOTE_ADDR=192.0.2.7", "HTTP_SEC_FETCH_SITE=cross-site"});
  site.page_of("nav=mod_domain&dname=log.example&ppass=p", {"REMOTE_ADDR=192.0.2.7"});
  site.page_of("nav=Add_Alias_Domain&dname=log.example&adname=Tab%09.example");
  site.page_of("nav=modify_file&file_name=me&tarea=a");
  site.page_of("nav=delete_file&file_name=a.b");
  site.page_of("nav=add_user&eaddr=Bob@Log.Example", {"HTTP_ORIGIN=null"});
  site.acl("admins I alice\n");
  site.page_of("nav=del_domain");
  EXPECT_EQ(mode_of(site.box.path("/usr/local/tessera/etc/larkspur.log")), 0600u);
  EXPECT_EQ(log_lines_without_time(site.log()),
            (std::vector<std::string>{
                "alice\t-\tadd_domain\tlog.example\tCreated Domain; Domain postmaster added",
                "alice\t192.0.2.7\tdel_domain\tlog.example\tCross-site request refused",
                "alice\t192.0.2.7\tmod_domain\tlog.example\tPostmaster password set",
                "alice\t-\tadd_alias_domain\ttab\\x09.example\tInvalid domain name",
                "alice\t-\tmodify_file\tme\tme updated successfully",
                "alice\t-\tdelete_file\ta.b\t: invalid file name",
                "alice\t-\tadd_user\tbob@log.example\tCross-site request refused",
                "alice\t-\tdel_domain\t-\tDelete Domain: Permission denied",
            }));
}

TEST(AuditLog, ConcurrentRequestsWriteWholeLines) {
  Site site;
  std::vector<std::string> jobs;
  for (int job = 0; job < 8; ++job) {
    jobs.push_back("cd '" + site.box.www() + "' && for i in $(seq 50); do"
                   " body=nav=del_domain\\&dname=j" + std::to_string(job) + "-$i.example;"
                   " printf %s \"$body\" | env -i REMOTE_USER=alice REQUEST_METHOD=POST"
                   " CONTENT_LENGTH=${#body} LARKSPUR_ROOT='" + site.box.root() + "' '" +
                   build_output("larkspur-sandbox.cgi") + "' >/dev/null || exit 1; done");
  }
  ASSERT_EQ(run_at_once(jobs).status, 0);
  std::vector<std::string> lines = log_lines_without_time(site.log());
  ASSERT_EQ(lines.size(), 400u);
  std::set<std::string> distinct(lines.begin(), lines.end());
  EXPECT_EQ(distinct.size(), 400u);
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(
        line, std::regex("alice\t-\tdel_domain\tj[0-7]-\\d+\\.example\tDelete Domain: Failed")))
        << line;
  }
}

// A GET is what a link, an image or a mail program sends; none of the nine
// changing commands runs from one, whatever headers it carries. One that
// names no object still shows the command's form.
TEST(ChangeGuard, AGetNeverChangesAnything) {
  const struct {
    const char* query;
    const char* page;  // the form a GET without the object shows; "" when refused
  } cases[] = {
      {"nav=add_domain&dname=new.example&pp=x", ""},
      {"nav=del_domain&dname=get.example", ""},
      {"nav=mod_domain&dname=get.example&lusers=9&ppass=new", ""},
      {"nav=add_alias_domain&dname=get.example&adname=alias.example", ""},
      {"nav=add_user&eaddr=ann@get.example&cpass=x", ""},
      {"nav=del_user&eaddr=postmaster@get.example", ""},
      {"nav=mod_user&eaddr=postmaster@get.example&cpass=new", ""},
      {"nav=modify_file&file_name=me&tarea=x", ""},
      {"nav=delete_file&file_name=me", ""},
      {"nav=add_domain", "ADD Create Domain: Failed: Must supply domain name<BR><BR>\n"},
      {"nav=del_domain", "DEL Delete Domain: Failed: Must supply domain name<BR><BR>\n"},
      {"nav=add_alias_domain&dname=get.example",
       "ADD Add Alias Domain: Failed: Must supply alias domain name<BR><BR>\n"},
  };
  Site site;
  site.add("get.example", "lusers=1");
  write_file(site.box.path("/var/qmail/control/me"), "host\n");
  auto state = [&site] {
    std::string all;
    for (const char* file : {"/var/qmail/users/assign", "/var/qmail/control/me"}) {
      all += read_file(site.box.path(file)) + "|";
    }
    return all + read_file(site.dir("get.example") + "/tpasswd") + "|" +
           read_file(site.limits("get.example"));
  };
  const std::string before = state();
  for (const auto& c : cases) {
    for (const std::vector<std::string>& headers :
         {std::vector<std::string>{}, std::vector<std::string>{"HTTP_SEC_FETCH_SITE=none"}}) {
      RunResult r = site.get(c.query, headers);
      const std::string refused = "Status: 403 Forbidden\nINIT E=Cross-site request refused\n";
      EXPECT_EQ(r.out, cgi_response(*c.page ? c.page : refused)) << c.query;
      EXPECT_EQ(state(), before) << c.query;
      std::vector<std::string> lines = lines_of(site.log());
      ASSERT_FALSE(lines.empty());
      const std::string command = std::string(c.query).substr(4, std::string(c.query).find('&') - 4);
      EXPECT_NE(lines.back().find("\t" + command + "\t"), std::string::npos) << c.query;
      if (!*c.page) {
        EXPECT_TRUE(lines.back().ends_with("\tCross-site request refused")) << c.query;
      }
    }
  }
}

// The line is written before the page goes out: a client that has hung up
// (the page then meets a closed pipe) leaves the change logged. And when no
// line can be written, the change still stands but the page and the web
// server's error log say so.
TEST(AuditLog, TheLineIsWrittenBeforeThePageOrItsLossReported) {
  const struct {
    const char* what;
    void (*plant)(const std::string& etc);
    bool logged;
  } cases[] = {
      {"a plain log", [](const std::string&) {}, true},
      {"log a FIFO", [](const std::string& etc) { mkfifo((etc + "/larkspur.log").c_str(), 0600); },
       false},
      {"log a folder", [](const std::string& etc) { fs::create_directory(etc + "/larkspur.log"); },
       false},
      {"etc a link",
       [](const std::string& etc) {
         fs::rename(etc, etc + ".real");
         fs::create_directory_symlink(etc + ".real", etc);
       },
       false},
  };
  for (const auto& c : cases) {
    Site site;
    const std::string etc = site.box.path("/usr/local/tessera/etc");
    fs::create_directories(etc);
    c.plant(etc);
    // A reader holds a FIFO open, so a writer that opens it unchecked
    // writes into it instead of hanging the request.
    int reader = open((etc + "/larkspur.log").c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    RunResult r = site.get("nav=add_domain&dname=log.example&pp=x", {}, true);
    if (reader >= 0) close(reader);
    EXPECT_EQ(r.out, kHeader + "MAIN Created Domain<BR>Domain postmaster added<BR>" +
                         (c.logged ? "" : std::string(kNotLogged) + "<BR>") + "<BR>\n")
        << c.what;
    EXPECT_EQ(r.err, c.logged ? "" : std::string(kNotLogged) + "\n") << c.what;
    EXPECT_TRUE(file_exists(site.dir("log.example"))) << c.what;
    if (c.logged) {
      EXPECT_NE(site.log().find("\tadd_domain\tlog.example\t"), std::string::npos);
    }
  }
  // The page meets a pipe whose reader has gone; SIGPIPE is the default.
  Site site;
  RunOptions options;
  options.argv = {"/bin/sh", "-c",
                  "{ sleep 0.3; printf %s \"$BODY\" | env --default-signal=PIPE '" +
                      build_output("larkspur-sandbox.cgi") + "'; echo $? >&2; } | true"};
  const std::string body = "nav=del_domain&dname=gone.example";
  options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=POST", "LARKSPUR_ROOT=" + site.box.root(),
                 "CONTENT_LENGTH=" + std::to_string(body.size()), "BODY=" + body,
                 "PATH=/usr/bin:/bin"};
  options.workdir = site.box.www();
  EXPECT_EQ(run_program(options).err, "0\n");
  EXPECT_NE(site.log().find("\tdel_domain\tgone.example\tDelete Domain: Failed\n"),
            std::string::npos)
      << site.log();
}

TEST(AuditLog, TesseraLogsItsChangingCommands) {
  Site site;
  const passwd* runner = getpwuid(getuid());
  ASSERT_NE(runner, nullptr);
  const std::string admin = std::string("tessera:") + runner->pw_name + "\t-\t";
  auto tessera = [&site](const std::vector<std::string>& words) {
    RunOptions options;
    options.argv = {build_output("tessera"), "--root", site.box.root()};
    options.argv.insert(options.argv.end(), words.begin(), words.end());
    options.env = {"PATH=/usr/bin:/bin"};
    return run_program(options).status;
  };
  EXPECT_EQ(tessera({"domain", "add", "T.example"}), 0);
  EXPECT_EQ(tessera({"domain", "show", "t.example"}), 0);
  EXPECT_EQ(tessera({"domain", "add", "t.example"}), 1);
  write_file(site.box.path("/usr/local/tessera/etc/tlimits.default"), "");
  EXPECT_EQ(tessera({"user", "add", "Ann@t.example", "pw"}), 0);
  EXPECT_EQ(tessera({"domain", "bogus"}), 2);
  EXPECT_EQ(log_lines_without_time(site.log()),
            (std::vector<std::string>{
                admin + "domain add\tt.example\tok",
                admin + "domain add\tt.example\texit 1",
                admin + "user add\tann@t.example\tok",
            }));
}

}  // namespace

namespace {

// The aliases page: its rows escaped, its forms' changes, the rights V to
// view and U to change, and the cross-site guard.
TEST(RoutingPages, AliasesPageListsAndChangesTheDomainsAliases) {
  Site site;
  site.page("show_aliases.html", "ALIASES DN=$-DN AL=$-AL AF=$-AF %-W\n");
  site.add("a.test");
  const std::string dir = site.dir("a.test");
  write_file(dir + "/.qmail-odd", "&x<b>@else.org\n# note\n");
  write_file(dir + "/postmaster/.qmail", "&pm&co@else.org\n./Maildir/\n");
  const std::string forwards = "AF=<tr><td>postmaster@a.test</td><td>pm&amp;co@else.org</td></tr>\n";
  const struct {
    const char* acl;
    std::string query;
    std::string page;
    std::string sales;  // .qmail-sales afterwards ("" none)
  } cases[] = {
      {"admins * alice\n", "nav=show_aliases&dname=A.test",
       "ALIASES DN=a.test AL=<tr><td>odd@a.test</td><td>x&lt;b&gt;@else.org</td></tr>\n " +
           forwards + " \n", ""},
      {"admins * alice\n", "nav=add_alias&dname=a.test&aname=Sales&adest=b%40else.org%0D%0Ac%40else.org",
       "ALIASES DN=a.test AL=<tr><td>odd@a.test</td><td>x&lt;b&gt;@else.org</td></tr>\n"
       "<tr><td>sales@a.test</td><td>b@else.org<br>c@else.org</td></tr>\n " + forwards +
           " Alias sales@a.test created<BR><BR>\n", "&b@else.org\n&c@else.org\n"},
      {"admins U alice\n", "nav=mod_alias&dname=a.test&aname=sales&adest=d%40else.org",
       "Status: 403 Forbidden\nINIT E=Cross-site request refused\n", "&b@else.org\n&c@else.org\n"},
      {"admins V alice\n", "nav=mod_alias&dname=a.test&aname=sales&adest=d%40else.org",
       "MAIN Modify Alias: Permission denied<BR><BR>\n", "&b@else.org\n&c@else.org\n"},
      {"admins U alice\n", "nav=show_aliases&dname=a.test",
       "MAIN Show Aliases: Permission denied<BR><BR>\n", "&b@else.org\n&c@else.org\n"},
      {"admins UV alice\n", "nav=mod_alias&dname=a.test&aname=sales&adest=d%40else.org+%3Cx",
       "ALIASES DN=a.test AL=<tr><td>odd@a.test</td><td>x&lt;b&gt;@else.org</td></tr>\n"
       "<tr><td>sales@a.test</td><td>b@else.org<br>c@else.org</td></tr>\n " + forwards +
           " Destination is no mail address<BR><BR>\n", "&b@else.org\n&c@else.org\n"},
      {"admins UV alice\n", "nav=add_alias&dname=a.test&aname=postmaster&adest=d%40else.org",
       "ALIASES DN=a.test AL=<tr><td>odd@a.test</td><td>x&lt;b&gt;@else.org</td></tr>\n"
       "<tr><td>sales@a.test</td><td>b@else.org<br>c@else.org</td></tr>\n " + forwards +
           " A mailbox has that name<BR><BR>\n", "&b@else.org\n&c@else.org\n"},
      {"admins UV alice\n", "nav=del_alias&dname=a.test&aname=sales",
       "ALIASES DN=a.test AL=<tr><td>odd@a.test</td><td>x&lt;b&gt;@else.org</td></tr>\n " +
           forwards + " Alias sales@a.test deleted<BR><BR>\n", ""},
      {"admins * alice\n", "nav=del_alias&dname=nowhere.test&aname=sales",
       "MAIN Delete Alias: Failed: domain does not exist<BR><BR>\n", ""},
  };
  for (const auto& c : cases) {
    site.acl(c.acl);
    std::vector<std::string> extra;
    if (c.page.starts_with("Status: 403")) extra.push_back("HTTP_SEC_FETCH_SITE=cross-site");
    EXPECT_EQ(site.page_of(c.query, extra), c.page) << c.query;
    EXPECT_EQ(read_file(dir + "/.qmail-sales"), c.sales) << c.query;
  }
}

// The catch-all on the domain view: its line and choice shown, each choice
// written through set_catchall, a refusal leaving the line as it was.
TEST(RoutingPages, DomainViewShowsAndSetsTheCatchall) {
  Site site;
  site.page("mod_domain.html",
            "MOD CQ=$-CQ CB=$-CB CD=$-CD CM=$-CM CF=$-CF CU=$-CU CX=$-CX %-W\n");
  site.add("a.test");
  const std::string line = "| " + site.box.path("/usr/local/tessera") + "/bin/tdelivermail '' ";
  const std::string shown = "MOD CQ=| " + site.box.path("/usr/local/tessera") +
                            "/bin/tdelivermail &#39;&#39; ";
  const std::string pm = site.dir("a.test") + "/postmaster";
  const struct {
    std::string query;
    std::string page;
    std::string argument;
  } cases[] = {
      {"nav=view_domain&dname=a.test", shown + "bounce-no-mailbox CB=checked CD= CM= CF= CU= CX= \n",
       "bounce-no-mailbox"},
      {"nav=set_catchall&dname=a.test&ctype=mailbox&cuser=Postmaster",
       shown + pm + " CB= CD= CM=checked CF= CU=postmaster CX= Catch-all set<BR><BR>\n", pm},
      {"nav=set_catchall&dname=a.test&ctype=forward&caddr=a%26b%40else.org",
       shown + "a&amp;b@else.org CB= CD= CM= CF=checked CU= CX=a&amp;b@else.org Catch-all set<BR><BR>\n",
       "a&b@else.org"},
      {"nav=set_catchall&dname=a.test&ctype=forward&caddr=nobody",
       shown + "a&amp;b@else.org CB= CD= CM= CF=checked CU= CX=a&amp;b@else.org "
               "Destination is no mail address<BR><BR>\n",
       "a&b@else.org"},
      {"nav=set_catchall&dname=a.test&ctype=mailbox&cuser=nobody",
       shown + "a&amp;b@else.org CB= CD= CM= CF=checked CU= CX=a&amp;b@else.org "
               "User does not exist<BR><BR>\n",
       "a&b@else.org"},
      {"nav=set_catchall&dname=a.test",
       shown + "a&amp;b@else.org CB= CD= CM= CF=checked CU= CX=a&amp;b@else.org "
               "Catch-all: Failed: Must supply what becomes of the mail<BR><BR>\n",
       "a&b@else.org"},
      {"nav=set_catchall&dname=a.test&ctype=delete",
       shown + "delete-no-mailbox CB= CD=checked CM= CF= CU= CX= Catch-all set<BR><BR>\n",
       "delete-no-mailbox"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(site.page_of(c.query), c.page) << c.query;
    EXPECT_EQ(read_file(site.dir("a.test") + "/.qmail-default"), line + c.argument + "\n") << c.query;
  }
  EXPECT_EQ(site.page_of("nav=set_catchall&dname=a.test&ctype=bounce",
                         {"HTTP_SEC_FETCH_SITE=cross-site"}),
            "Status: 403 Forbidden\nINIT E=Cross-site request refused\n");
  EXPECT_EQ(read_file(site.dir("a.test") + "/.qmail-default"), line + "delete-no-mailbox\n");
  EXPECT_NE(site.log().find("\tset_catchall\ta.test\tCatch-all set\n"), std::string::npos);
}

}  // namespace

// The program behind a real web server: lighttpd with HTTP basic
// authentication runs build/larkspur-sandbox.cgi in a fresh sandbox, and curl
// plays the browser. Also checks the shipped templates and language files
// against the rules the template engine reads them by.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/testlib/testlib.h"

namespace fs = std::filesystem;

namespace {

constexpr char kLighttpd[] = "/usr/sbin/lighttpd";
constexpr char kCurl[] = "/usr/bin/curl";
constexpr char kUser[] = "admin";
constexpr char kPassword[] = "s3cret";
constexpr char kProgram[] = "/cgi-bin/larkspur/larkspur.cgi";

// The html/ folder the build made from html-src/ (build/html/).
fs::path generated_html() { return build_output("html"); }

// A port that was free on 127.0.0.1 a moment ago.
int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

bool accepts_connections(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// lighttpd in the foreground as a child process, stopped by the destructor
// whatever the test did.
class WebServer {
 public:
  WebServer(const std::string& config, const std::string& log) {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      execl(kLighttpd, kLighttpd, "-D", "-f", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~WebServer() { stop(); }
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Waits (at most about five seconds) until the port answers. False when
  // the server ended instead, for example because the port was taken.
  bool wait_ready(int port) {
    for (int attempt = 0; attempt < 100 && pid_ > 0; ++attempt) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      if (accepts_connections(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
};

struct Response {
  int status = 0;  // HTTP status, 0 when curl got none
  std::string body;
};

struct Request {
  std::string path = kProgram;
  std::string body;             // sent as a form POST when not empty
  bool login = true;            // send the right credentials
  std::string user = kUser;     // when login is set
  std::string password = kPassword;
  std::string accept_language;  // the Accept-Language header, if any
  std::vector<std::string> headers;  // further "Name: value" headers
};

void copy_html(const fs::path& to) {
  fs::copy(generated_html(), to,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kLighttpd, X_OK) != 0) GTEST_SKIP() << kLighttpd << " is not installed";
    copy_html(sandbox_.www() + "/html");
    write_file(sandbox_.www() + "/larkspur.acl", std::string("admins * ") + kUser + "\n");
    write_file(sandbox_.path("/var/qmail/control/me"), "mail.example.com\n");
    write_wrapper();
    write_file(conf_dir() + "/users", std::string(kUser) + ":" + kPassword + "\n");
    // The free port can be taken between the probe and lighttpd's bind.
    for (int attempt = 0; attempt < 3 && server_ == nullptr; ++attempt) {
      port_ = free_loopback_port();
      ASSERT_GT(port_, 0);
      write_file(conf_dir() + "/lighttpd.conf", config());
      server_ = std::make_unique<WebServer>(conf_dir() + "/lighttpd.conf", conf_dir() + "/log");
      if (!server_->wait_ready(port_)) server_.reset();
    }
    ASSERT_NE(server_, nullptr) << "lighttpd did not start:\n" << read_file(conf_dir() + "/log");
  }

  void TearDown() override { server_.reset(); }

  std::string conf_dir() const { return sandbox_.root() + "/lighttpd"; }
  std::string control_file(const std::string& name) const {
    return sandbox_.path("/var/qmail/control/" + name);
  }

  // The CGI the web server runs: the sandbox build, in the working
  // directory that holds html/ and larkspur.acl.
  void write_wrapper() {
    std::string wrapper = sandbox_.root() + "/docroot/cgi-bin/larkspur/larkspur.cgi";
    write_file(wrapper, "#!/bin/sh\ncd '" + sandbox_.www() + "' || exit 1\nLARKSPUR_ROOT='" +
                            sandbox_.root() + "' exec '" + build_output("larkspur-sandbox.cgi") +
                            "'\n");
    fs::permissions(wrapper, fs::perms::owner_all);
  }

  std::string config() const {
    std::ostringstream c;
    c << "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_cgi\")\n"
      << "server.bind = \"127.0.0.1\"\n"
      << "server.port = " << port_ << "\n"
      << "server.document-root = \"" << sandbox_.root() << "/docroot\"\n"
      << "server.errorlog = \"" << conf_dir() << "/error.log\"\n"
      << "auth.backend = \"plain\"\n"
      << "auth.backend.plain.userfile = \"" << conf_dir() << "/users\"\n"
      << "auth.require = (\"/cgi-bin/\" => (\"method\" => \"basic\", \"realm\" => \"test\","
      << " \"require\" => \"valid-user\"))\n"
      << "cgi.assign = (\"\" => \"\")\n";
    return c.str();
  }

  Response fetch(const Request& request) const {
    RunOptions options;
    options.argv = {kCurl, "-q", "-s", "--max-time", "20", "--noproxy", "*",
                    "-o", "-", "-w", "\n%{http_code}"};
    if (request.login) {
      options.argv.insert(options.argv.end(), {"-u", request.user + ":" + request.password});
    }
    if (!request.body.empty()) {
      options.argv.insert(options.argv.end(), {"--data-binary", request.body});
    }
    if (!request.accept_language.empty()) {
      options.argv.insert(options.argv.end(), {"-H", "Accept-Language: " + request.accept_language});
    }
    for (const std::string& header : request.headers) {
      options.argv.insert(options.argv.end(), {"-H", header});
    }
    options.argv.push_back("http://127.0.0.1:" + std::to_string(port_) + request.path);
    RunResult run = run_program(options);
    Response response;
    size_t cut = run.out.rfind('\n');
    if (run.status != 0 || cut == std::string::npos) return response;
    response.status = std::stoi(run.out.substr(cut + 1));
    response.body = run.out.substr(0, cut);
    return response;
  }

  Sandbox sandbox_;
  int port_ = -1;
  std::unique_ptr<WebServer> server_;
};

TEST_F(HttpTest, RefusesEveryRequestWithoutValidCredentials) {
  struct Case {
    const char* name;
    Request request;
  };
  Request no_login;
  no_login.login = false;
  Request wrong_password;
  wrong_password.password = "wrong";
  Request unknown_user;
  unknown_user.user = "mallory";
  Request fixed_page = no_login;
  fixed_page.path = std::string(kProgram) + "/show/help.html";
  Request post = no_login;
  post.body = "nav=modify_file&file_name=me&tarea=evil.example";
  const Case cases[] = {{"no credentials", no_login},
                        {"wrong password", wrong_password},
                        {"unknown user", unknown_user},
                        {"fixed page without credentials", fixed_page},
                        {"post without credentials", post}};
  for (const Case& c : cases) {
    Response response = fetch(c.request);
    EXPECT_EQ(response.status, 401) << c.name;
    EXPECT_EQ(response.body.find("Larkspur"), std::string::npos) << c.name;
  }
  EXPECT_EQ(read_file(control_file("me")), "mail.example.com\n");
}

TEST_F(HttpTest, MainPageNamesTheAdministratorAndReachesEveryCommand) {
  Response response = fetch(Request{});
  ASSERT_EQ(response.status, 200);
  const std::string& page = response.body;
  EXPECT_EQ(page.rfind("<!DOCTYPE html>\n", 0), 0u) << page.substr(0, 200);
  EXPECT_NE(page.find("<b>admin</b>"), std::string::npos);
  EXPECT_NE(page.find("<b>admins</b>"), std::string::npos);
  EXPECT_NE(page.find("<title>Larkspur - main menu</title>"), std::string::npos);
  for (const char* nav : {"add_domain", "del_domain", "view_domain", "add_user", "del_user",
                          "view_user", "mod_user", "show_users", "show_controls", "mod_domain",
                          "list_domains", "add_alias_domain", "display_file", "modify_file",
                          "delete_file"}) {
    EXPECT_NE(page.find(std::string("name=\"nav\" value=\"") + nav + "\""), std::string::npos)
        << nav;
  }
  for (const char* token : {"#-", "$-", "%-"}) {
    EXPECT_EQ(page.find(token), std::string::npos) << token;
  }
  EXPECT_EQ(page.substr(page.size() - 8), "</html>\n");
}

// Language choice goes through the web server's Accept-Language header.
TEST_F(HttpTest, PagesFollowTheBrowsersLanguage) {
  struct Case {
    const char* header;
    const char* expected;
  };
  const Case cases[] = {{"", "<html lang=\"en\">"},
                        {"de", "<html lang=\"de\">"},
                        {"de-DE,de;q=0.9,en;q=0.8", "<html lang=\"de\">"},
                        {"en-US,en;q=0.9", "<html lang=\"en\">"},
                        {"fr, de", "<html lang=\"de\">"}};
  for (const Case& c : cases) {
    Request request;
    request.accept_language = c.header;
    Response response = fetch(request);
    EXPECT_EQ(response.status, 200) << c.header;
    EXPECT_NE(response.body.find(c.expected), std::string::npos) << c.header;
  }
  Request german;
  german.accept_language = "de";
  EXPECT_NE(fetch(german).body.find("Hauptmenü"), std::string::npos);
}

TEST_F(HttpTest, FixedPageArrivesThroughPathInfo) {
  Request request;
  request.path = std::string(kProgram) + "/show/help.html";
  Response response = fetch(request);
  ASSERT_EQ(response.status, 200);
  EXPECT_NE(response.body.find("<h1>Help</h1>"), std::string::npos);
  EXPECT_NE(response.body.find("<code>admins * alice,bob</code>"), std::string::npos);
}

// The editor's text survives the trip browser -> program -> file -> editor:
// carriage returns are dropped on the way in, markup in the file comes back
// escaped inside the textarea, and the file holds exactly what was typed.
TEST_F(HttpTest, ControlFileRoundTripThroughTheWebServer) {
  Request save;
  save.body = "nav=modify_file&file_name=smtproutes&tarea=a.example%0D%0A"
              "%3C%2Ftextarea%3E%3Cb%3E%22q%22%0D%0Ab.example&rws=7&cls=40";
  Response saved = fetch(save);
  ASSERT_EQ(saved.status, 200);
  EXPECT_NE(saved.body.find("smtproutes updated successfully<BR>"), std::string::npos);
  EXPECT_EQ(read_file(control_file("smtproutes")), "a.example\n</textarea><b>\"q\"\nb.example\n");

  Request show;
  show.path = std::string(kProgram) + "?nav=display_file&fname=smtproutes&rows=7&cols=40";
  Response shown = fetch(show);
  ASSERT_EQ(shown.status, 200);
  EXPECT_NE(shown.body.find("<textarea name=\"tarea\" rows=\"7\" cols=\"40\" spellcheck=\"false\">\n"
                            "a.example\n&lt;/textarea&gt;&lt;b&gt;&quot;q&quot;\nb.example\n"
                            "</textarea>"),
            std::string::npos)
      << shown.body;
  EXPECT_NE(shown.body.find("name=\"file_name\" value=\"smtproutes\""), std::string::npos);

  Request list;
  list.path = std::string(kProgram) + "?nav=show_controls";
  Response listed = fetch(list);
  ASSERT_EQ(listed.status, 200);
  EXPECT_NE(listed.body.find("<pre>a.example\n&lt;/textarea&gt;"), std::string::npos);
  EXPECT_NE(listed.body.find("fname=me\">me</a></td><td><pre>mail.example.com\n</pre>"),
            std::string::npos);
}

// A domain's life through the shipped pages: created with limits, viewed,
// changed, listed and deleted; a form posted from another site changes
// nothing.
TEST_F(HttpTest, DomainRoundTripThroughTheWebServer) {
  auto post = [this](const std::string& body, std::vector<std::string> headers = {},
                     int status = 200) {
    Request request;
    request.body = body;
    request.headers = std::move(headers);
    Response response = fetch(request);
    EXPECT_EQ(response.status, status) << body;
    return response.body;
  };
  std::string dir = sandbox_.path("/usr/local/tessera/domains/shop.example");
  std::string origin = "Origin: http://127.0.0.1:" + std::to_string(port_);
  EXPECT_NE(post("nav=add_domain&dname=Shop.Example&pp=pm1&lusers=20&quota=1000000S&upop=on",
                 {origin, "Sec-Fetch-Site: same-origin"})
                .find("Created Domain<BR>Domain postmaster added<BR>"),
            std::string::npos);
  EXPECT_EQ(read_file(dir + "/.kestrel-limits"),
            "maxpopaccounts: 20\ndefault_quota: 1000000S\ndisable_pop\n");

  std::string shown = post("nav=view_domain&dname=shop.example");
  for (const std::string& part :
       {std::string("<h1>Domain shop.example</h1>"), "<dd>" + dir + "</dd>",
        std::string("<dd>89</dd>"), std::string("name=\"lusers\" value=\"20\""),
        std::string("name=\"quota\" value=\"1000000S\""),
        std::string("name=\"upop\" checked>"), std::string("name=\"uimap\" >"),
        // The store keeps no clear password: its block is there but hidden.
        std::string("<dt hidden>Postmaster password</dt><dd hidden><details><summary>"
                    "Show the password</summary><code></code>"),
        std::string("name=\"nav\" value=\"add_user\""),
        std::string("name=\"eaddr\" value=\"@shop.example\"")}) {
    EXPECT_NE(shown.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(shown.find("$-"), std::string::npos);

  EXPECT_NE(post("nav=mod_domain&dname=shop.example&lusers=30&uimap=on&ppass=pm2")
                .find("Postmaster password set<BR>"),
            std::string::npos);
  EXPECT_EQ(read_file(dir + "/.kestrel-limits"), "maxpopaccounts: 30\ndisable_imap\n");

  EXPECT_NE(post("nav=add_alias_domain&dname=shop.example&adname=store.example")
                .find("Alias Domain Added<BR>"),
            std::string::npos);
  std::string listed = post("nav=list_domains");
  EXPECT_NE(listed.find("<a href=larkspur.cgi?nav=view_domain&dname=shop.example>shop.example</a>"
                        "<BR>\n<a href=larkspur.cgi?nav=view_domain&dname=shop.example>"
                        "store.example</a> Aliased to shop.example<BR>\n"),
            std::string::npos)
      << listed;

  // Refused with its own status, which the web server passes on.
  EXPECT_NE(post("nav=del_domain&dname=shop.example", {"Origin: http://evil.example"}, 403)
                .find("Cross-site request refused"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir));
  EXPECT_NE(post("nav=del_domain&dname=shop.example").find("Deleted Domain<BR>"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(dir));
  std::vector<std::string> log =
      lines_of(read_file(sandbox_.path("/usr/local/tessera/etc/larkspur.log")));
  ASSERT_EQ(log.size(), 5u);
  EXPECT_NE(log[3].find("\tadmin\t127.0.0.1\tdel_domain\tshop.example\t"
                        "Cross-site request refused"),
            std::string::npos)
      << log[3];
}

// An account's life from the browser, on the shipped templates: add, view,
// change, list, delete.
TEST_F(HttpTest, AccountRoundTripThroughTheWebServer) {
  write_file(sandbox_.path("/usr/local/tessera/etc/tlimits.default"), "# no limits\n");
  RunOptions tessera;
  tessera.argv = {build_output("tessera"), "--root", sandbox_.root(), "domain", "add", "example.com"};
  tessera.env = {"PATH=/usr/bin:/bin"};
  ASSERT_EQ(run_program(tessera).status, 0);
  auto get = [&](const std::string& query) {
    Request request;
    request.path = std::string(kProgram) + "?" + query;
    return fetch(request);
  };
  auto post = [&](const std::string& body) {
    Request request;
    request.body = body;
    return fetch(request);
  };
  const struct {
    const char* step;
    Response response;
    std::vector<std::string> shown;
  } steps[] = {
      {"add", post("nav=add_user&eaddr=Joe@Example.com&cpass=pw&fname=Joe+Bloggs&quota=1000S"),
       {"Email Account joe@example.com created<BR>", "<h1>Account joe@example.com</h1>",
        "name=\"fname\" value=\"Joe Bloggs\"", "<dd>1000S</dd>", "<dd>0%</dd>",
        "<dd>never logged in</dd>", "name=\"uimap\" >"}},
      {"view", get("nav=view_user&eaddr=joe%40example.com"),
       {"<h1>Account joe@example.com</h1>",
        "href=\"/cgi-bin/larkspur/larkspur.cgi?nav=show_users&amp;dname=example.com\"",
        "href=\"/cgi-bin/larkspur/larkspur.cgi?nav=view_domain&amp;dname=example.com\""}},
      {"change", post("nav=mod_user&eaddr=joe@example.com&fname=Joe+Bloggs&quota=2000S&uimap=on"),
       {"Modify Account joe@example.com success<BR>", "name=\"fname\" value=\"Joe Bloggs\"",
        "name=\"uimap\" CHECKED>", "<dd>2000S</dd>"}},
      {"list", get("nav=show_users&dname=example.com"),
       {"<B>Users for example.com</B>",
        "<a href=larkspur.cgi?nav=view_user&eaddr=joe@example.com>joe</a>", ">2000S</FONT>"}},
      {"delete", post("nav=del_user&eaddr=joe@example.com"),
       {"Email Acount joe@example.com deleted<BR>"}},
      {"list again", get("nav=show_users&dname=example.com"),
       {"Domain example.com does not exist</FONT>"}},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(s.response.status, 200) << s.step;
    for (const std::string& text : s.shown) {
      EXPECT_NE(s.response.body.find(text), std::string::npos) << s.step << ": " << text << "\n"
                                                               << s.response.body;
    }
  }
}

// ---- The shipped templates and language files -------------------------------

const char* const kTemplates[] = {
    "main.html",           "auth_failed.html",          "init_error.html",
    "error.html",          "ctrl_file.html",            "qmail_controls_top.html",
    "qmail_controls_middle.html", "qmail_controls_bottom.html", "help.html",
    "add_domain.html",     "del_domain.html",           "view_domain.html",
    "mod_domain.html",     "add_user.html",             "del_user.html",
    "view_user.html",      "mod_user.html",
    "mod_routing.html", "show_aliases.html"};

// A translation and the regional copies that browsers ask for first
// ("en-US,en;q=0.9": the word after the comma carries a dot and would end
// the request, so the first word must name a file).
const std::map<std::string, std::string> kLanguages = {
    {"en", "en"}, {"en-US", "en"}, {"en-GB", "en"},
    {"de", "de"}, {"de-DE", "de"}, {"de-AT", "de"}, {"de-CH", "de"}};

// key -> text of a language file.
std::map<std::string, std::string> language_texts(const std::string& text) {
  std::map<std::string, std::string> texts;
  for (const std::string& line : lines_of(text)) {
    size_t blank = line.find(' ');
    if (blank != std::string::npos) texts[line.substr(0, blank)] = line.substr(blank + 1);
  }
  return texts;
}

// Every token in a template: "#-KEY", "$-KY", "%-C".
struct Tokens {
  std::set<std::string> language;
  std::set<std::string> variables;
  std::string codes;
};

Tokens tokens_of(const std::string& text) {
  Tokens tokens;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i + 1] != '-') continue;
    if (text[i] == '#') tokens.language.insert(text.substr(i + 2, 3));
    if (text[i] == '$') tokens.variables.insert(text.substr(i + 2, 2));
    if (text[i] == '%') tokens.codes += text.substr(i + 2, 1);
  }
  return tokens;
}

TEST(ShippedTemplates, EndInANewlineAndKeepTokensWithinOnePiece) {
  for (const char* name : kTemplates) {
    std::string text = read_file(generated_html() / name);
    ASSERT_FALSE(text.empty()) << name;
    EXPECT_EQ(text.back(), '\n') << name << ": the last line would not be printed";
    for (const std::string& line : lines_of(text)) {
      // Lines are read in pieces of 499 bytes; a token cut in two is lost.
      EXPECT_LT(line.size() + 1, 499u) << name << ": " << line.substr(0, 60);
    }
    Tokens tokens = tokens_of(text);
    for (const std::string& key : tokens.language) {
      EXPECT_TRUE(key.size() == 3 && isdigit(key[0]) && isdigit(key[1]) && isdigit(key[2]))
          << name << ": #-" << key;
    }
    for (char code : tokens.codes) {
      EXPECT_NE(std::string("EGUVW").find(code), std::string::npos) << name << ": %-" << code;
    }
  }
}

TEST(ShippedTemplates, EveryTextComesFromEachLanguageFile) {
  // The list pages' style, and the routing page's vacation state.
  std::set<std::string> used = {"055", "056", "057", "058", "366", "367"};
  for (const char* name : kTemplates) {
    for (const std::string& key : tokens_of(read_file(generated_html() / name)).language) {
      used.insert(key);
    }
  }
  std::map<std::string, std::string> english = language_texts(read_file(generated_html() / "en"));
  for (const auto& [language, base] : kLanguages) {
    std::string text = read_file(generated_html() / language);
    ASSERT_FALSE(text.empty()) << language;
    EXPECT_EQ(text.back(), '\n') << language << ": the last line would not be read";
    EXPECT_EQ(text, read_file(generated_html() / base)) << language << " differs from " << base;
    for (const std::string& line : lines_of(text)) {
      // A language line is read in pieces of at most 199 bytes.
      EXPECT_LE(line.size() + 1, 199u) << language << ": " << line.substr(0, 20);
    }
    std::map<std::string, std::string> texts = language_texts(text);
    for (const std::string& key : used) {
      EXPECT_FALSE(texts[key].empty()) << language << " has no text for " << key;
    }
    for (const auto& [key, ignored] : texts) {
      EXPECT_TRUE(english.count(key)) << language << " has a key that en lacks: " << key;
      EXPECT_TRUE(used.count(key)) << language << " has an unused key: " << key;
    }
  }
}

// The pages fill these variables; a template naming any other key would
// print nothing there.
TEST(ShippedTemplates, UseOnlyThePageVariablesTheirPagesSet) {
  const std::map<std::string, std::set<std::string>> allowed = {
      {"ctrl_file.html", {"NM", "RW", "CL", "CF"}},
      // a0, the link line with its unquoted address, is there for other
      // sites' templates; the shipped one quotes a link of its own.
      {"qmail_controls_middle.html", {"a1", "a2", "a3"}},
      {"view_domain.html", {"DN"}},
      {"mod_domain.html", {"DN", "DD", "DU", "DG", "DS", "DP", "DH", "QU", "QL", "MU", "MA", "MF",
                           "MR", "ML", "MQ", "MP", "MI", "MD", "MC", "MS", "MW",
                           "CQ", "CB", "CD", "CM", "CF", "CU", "CX"}},
      {"show_aliases.html", {"DN", "AL", "AF"}},
      {"mod_user.html", {"UA", "UN", "UQ", "UD", "UC", "UP", "UW", "UI", "UB", "US", "UK",
                         "UT", "UZ", "UU", "DN", "UE"}},
      {"mod_routing.html", {"UA", "UE", "DN", "RF", "RK", "RV", "RS", "RT", "RU"}}};
  // SC, set for a domain administrator before any page, may hide a part
  // of every page (web/scope.h).
  for (const char* name : kTemplates) {
    auto it = allowed.find(name);
    for (const std::string& key : tokens_of(read_file(generated_html() / name)).variables) {
      EXPECT_TRUE(key == "SC" || (it != allowed.end() && it->second.count(key)))
          << name << ": $-" << key;
    }
  }
  // Every variable of the editor and the two view pages has its place.
  for (const auto& [name, keys] : allowed) {
    std::set<std::string> used = tokens_of(read_file(generated_html() / name)).variables;
    used.erase("SC");
    EXPECT_EQ(used, keys) << name;
  }
}

// Making the templates from the frame and the bodies, and the regional
// language files from their language's file, gives the very files a site
// gets: tests/html.sha256 lists every file of the folder with its checksum
// (its comment says how to write it anew after a deliberate change).
TEST(ShippedTemplates, GeneratedFolderMatchesItsChecksumList) {
  std::string expected;
  for (const std::string& line :
       lines_of(read_file(std::string(LARKSPUR_SOURCE_DIR) + "/tests/html.sha256"))) {
    if (!line.empty() && line[0] != '#') expected += line + "\n";
  }
  ASSERT_FALSE(expected.empty());
  std::set<std::string> names;  // in byte order, as the list is
  for (const auto& entry : fs::recursive_directory_iterator(generated_html())) {
    if (!entry.is_directory()) names.insert(entry.path().lexically_relative(generated_html()));
  }
  RunOptions options;
  options.argv = {"/usr/bin/sha256sum"};
  options.argv.insert(options.argv.end(), names.begin(), names.end());
  options.env = {"PATH=/usr/bin:/bin"};
  options.workdir = generated_html();
  RunResult r = run_program(options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
}

}  // namespace

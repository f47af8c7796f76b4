// Dovecot, the mail server's login side, reads what the store writes. Each
// case starts a private Dovecot on a free loopback port: its passwd-file
// passdb checks IMAP logins against the domain's tpasswd with the platform's
// crypt (the CRYPT scheme, which reads "$6$" and older "$1$" fields alike),
// a static userdb serves the mailbox's Maildir as uid and gid 89, and its
// maildir quota backend reads the maildirsize that the store writes when a
// quota is set.
//
// The login program's variant serves the same listener from the store's own
// checkpassword program, as passdb and userdb (prefetch first), with POP3
// beside IMAP.
//
// Dovecot notices a changed passwd-file only by whole-second times, so the
// test lets the clock's second turn before each change of tpasswd, and the
// change is then seen by the next login. Dovecot also slows repeated
// failed logins from one client address; every login here comes from its
// own loopback address, so no attempt waits on an earlier one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/testlib/testlib.h"

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kDoveadm = "/usr/bin/doveadm";
constexpr const char* kPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

sockaddr_in loopback(const char* address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &addr.sin_addr);
  return addr;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = loopback("127.0.0.1", 0);
  socklen_t size = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    close(fd);
    return -1;
  }
  close(fd);
  return ntohs(addr.sin_port);
}

// A connected socket to 127.0.0.1:port from the given source address, or -1.
int connect_from(const std::string& source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = loopback(source.c_str(), 0);
  sockaddr_in to = loopback("127.0.0.1", port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Everything the peer sends until it closes, or until 20 seconds pass.
std::string read_until_closed(int fd) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 200) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

struct ImapSession {
  std::string login;  // the tagged answer to LOGIN: "OK ...", "NO ..." ("" if none came)
  long exists = -1;   // the message count SELECT INBOX reported, -1 if none
};

// Logs in, selects INBOX and logs out, pipelined on one connection.
ImapSession imap_login(int port, const std::string& address, const std::string& password) {
  static int next_source = 10;
  std::string source = "127.0.0." + std::to_string(next_source++);
  ImapSession session;
  int fd = connect_from(source, port);
  if (fd < 0) return session;
  std::string commands = "t1 LOGIN \"" + address + "\" \"" + password +
                         "\"\r\nt2 SELECT INBOX\r\nt3 LOGOUT\r\n";
  if (write(fd, commands.data(), commands.size()) != static_cast<ssize_t>(commands.size())) {
    close(fd);
    return session;
  }
  for (std::string line : lines_of(read_until_closed(fd))) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("t1 ", 0) == 0) session.login = line.substr(3);
    size_t exists = line.find(" EXISTS");
    if (line.rfind("* ", 0) == 0 && exists != std::string::npos) {
      session.exists = std::stol(line.substr(2, exists - 2));
    }
  }
  close(fd);
  return session;
}

// The answer to PASS ("+OK ...", "-ERR ...", "" if none came) of a POP3
// login from its own loopback address, pipelined with STAT and QUIT.
std::string pop3_login(int port, const std::string& address, const std::string& password) {
  static int next_source = 10;
  int fd = connect_from("127.0.1." + std::to_string(next_source++), port);
  if (fd < 0) return "";
  std::string commands = "USER " + address + "\r\nPASS " + password + "\r\nSTAT\r\nQUIT\r\n";
  std::vector<std::string> lines;
  if (write(fd, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size())) {
    lines = lines_of(read_until_closed(fd));
  }
  close(fd);
  if (lines.size() < 3) return "";
  std::string pass = lines[2];
  if (!pass.empty() && pass.back() == '\r') pass.pop_back();
  return pass;
}

// A Dovecot instance whose configuration, sockets, state and log live in
// DIR; stopped by the destructor. Given a checkpassword program (and the
// sandbox root it reads), logins go through it instead of the passwd-file.
class DovecotInstance {
 public:
  DovecotInstance(const std::string& dir, const std::string& tpasswd,
                  const std::string& domain_dir, const std::string& checkpassword = "",
                  const std::string& root = "")
      : dir_(dir), port_(free_port()), pop3_port_(free_port()) {
    write_file(config(), checkpassword.empty() ? configuration(tpasswd, domain_dir)
                                               : checkpassword_configuration(checkpassword, root));
    pid_ = fork();
    if (pid_ == 0) {
      std::string out = dir_ + "/stdout";
      freopen(out.c_str(), "w", stdout);
      freopen(out.c_str(), "a", stderr);
      execl(kDovecot, kDovecot, "-F", "-c", config().c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~DovecotInstance() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Whether the IMAP listener accepts connections within 20 seconds.
  bool wait_until_listening() const {
    for (int i = 0; i < 400; ++i) {
      int fd = connect_from("127.0.0.1", port_);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      if (waitpid(pid_, nullptr, WNOHANG) != 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  int port() const { return port_; }
  int pop3_port() const { return pop3_port_; }
  std::string config() const { return dir_ + "/dovecot.conf"; }
  std::string log() const { return read_file(dir_ + "/stdout") + read_file(dir_ + "/log"); }

 private:
  std::string configuration(const std::string& tpasswd, const std::string& domain_dir) const {
    // The static userdb finds a mailbox as DOMAINDIR/user: where the domain's
    // first accounts live (no hashed sub-directory yet). Dovecot's passwd-file
    // userdb would refuse tpasswd's lines: their fourth field is the account's
    // flag word, 0 for a new account, which it takes for gid 0.
    return common_settings("imap") +
           "mail_location = maildir:~/Maildir\n"
           "mail_plugins = quota\n"
           "passdb {\n"
           "  driver = passwd-file\n"
           "  args = scheme=CRYPT username_format=%n " + tpasswd + "\n"
           "}\n"
           "userdb {\n"
           "  driver = static\n"
           "  args = uid=89 gid=89 home=" + domain_dir + "/%n\n"
           "}\n"
           "plugin {\n"
           "  quota = maildir:User quota\n"
           "}\n"
           // tpasswd sits in a domain directory only its owner may enter.
           "service auth {\n"
           "  user = root\n"
           "}\n" +
           login_service("imap", port_);
  }

  // The store's login program as passdb and userdb: it needs no
  // configuration but its path (and, sandboxed, its root), and tells Dovecot
  // the mailbox, its owner and its quota rule.
  std::string checkpassword_configuration(const std::string& program,
                                          const std::string& root) const {
    return common_settings("imap pop3") +
           "mail_plugins = quota\n"
           "import_environment = TZ LARKSPUR_ROOT=" + root + "\n"
           "passdb {\n"
           "  driver = checkpassword\n"
           "  args = " + program + "\n"
           "}\n"
           "userdb {\n"
           "  driver = prefetch\n"
           "}\n"
           "userdb {\n"
           "  driver = checkpassword\n"
           "  args = " + program + "\n"
           "}\n"
           "plugin {\n"
           "  quota = maildir:User quota\n"
           "}\n"
           // The program reads the store as its home's owner: it starts as root.
           // No address-space cap: the sanitizer build of the program maps
           // its shadow memory, more than the auth service's default allows.
           "service auth {\n"
           "  user = root\n"
           "  vsz_limit = 0\n"
           "}\n" +
           login_service("imap", port_) + login_service("pop3", pop3_port_);
  }

  // What both configurations share: private folders, plain logins on
  // loopback without delay, mail users from uid and gid 89.
  std::string common_settings(const std::string& protocols) const {
    return "base_dir = " + dir_ + "/run\n"
           "state_dir = " + dir_ + "/state\n"
           "log_path = " + dir_ + "/log\n"
           "protocols = " + protocols + "\n"
           "listen = 127.0.0.1\n"
           "ssl = no\n"
           "disable_plaintext_auth = no\n"
           "auth_mechanisms = plain\n"
           "auth_failure_delay = 0\n"
           "first_valid_uid = 89\n"
           "first_valid_gid = 89\n";
  }

  // A protocol's login service on the given loopback port, its TLS port off.
  static std::string login_service(const std::string& protocol, int port) {
    return "service " + protocol + "-login {\n"
           "  inet_listener " + protocol + " {\n"
           "    address = 127.0.0.1\n"
           "    port = " + std::to_string(port) + "\n"
           "  }\n"
           "  inet_listener " + protocol + "s {\n"
           "    port = 0\n"
           "  }\n"
           "}\n";
  }

  std::string dir_;
  int port_;
  int pop3_port_;
  pid_t pid_ = -1;
};

class DovecotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kDovecot, X_OK) != 0 || access(kDoveadm, X_OK) != 0) {
      GTEST_SKIP() << "Dovecot is not installed (Debian packages dovecot-imapd, dovecot-pop3d)";
    }
    // Mail processes run as uid 89 and must reach the mailboxes below the root.
    ASSERT_EQ(chmod(box.root().c_str(), 0711), 0);
    write_file(box.path("/usr/local/tessera/etc/tlimits.default"), "# no limits\n");
    ASSERT_NO_FATAL_FAILURE(ok({"domain", "add", "example.com"}));
    std::vector<std::string> shown = split(tessera({"domain", "show", "example.com"}).out, '\t');
    ASSERT_EQ(shown.size(), 4u);
    domain_dir = shown[1];
    dovecot = std::make_unique<DovecotInstance>(box.path("/dovecot"), domain_dir + "/tpasswd",
                                                domain_dir, login_program, box.root());
    ASSERT_TRUE(dovecot->wait_until_listening()) << dovecot->log();
  }
  void TearDown() override {
    if (HasFailure() && dovecot) std::cerr << "dovecot log:\n" << dovecot->log();
  }

  RunResult tessera(const std::vector<std::string>& words) {
    RunOptions options;
    options.argv = {build_output("tessera"), "--root", box.root()};
    options.argv.insert(options.argv.end(), words.begin(), words.end());
    options.env = {kPath};
    return run_program(options);
  }
  void ok(const std::vector<std::string>& words) {
    RunResult r = tessera(words);
    ASSERT_EQ(r.status, 0) << words[0] << " " << words[1] << ": " << r.err;
  }

  // One request to the account pages, as alice with every right, through
  // the sandbox program; the shipped-template look does not matter here.
  std::string account_page(const std::string& body) {
    write_file(box.www() + "/larkspur.acl", "admins * alice\n");
    for (const char* name : {"main.html", "add_user.html", "mod_user.html"}) {
      write_file(box.www() + "/html/" + name, "%-W\n");
    }
    RunOptions options;
    options.argv = {build_output("larkspur-sandbox.cgi")};
    options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=POST", "LARKSPUR_ROOT=" + box.root(),
                   "CONTENT_LENGTH=" + std::to_string(body.size())};
    options.input = body;
    options.workdir = box.www();
    return run_program(options).out;
  }
  std::vector<std::string> stored_line() {
    return split(lines_of(read_file(domain_dir + "/tpasswd")).at(0), ':');
  }

  // A message file of exactly `size` bytes in the mailbox's Maildir/new.
  void drop_message(const std::string& user, const std::string& name, size_t size) {
    std::string head = "From: someone@example.org\nSubject: " + name + "\n\n";
    std::string path = domain_dir + "/" + user + "/Maildir/new/" + name;
    write_file(path, head + std::string(size - head.size() - 1, 'x') + "\n");
    ASSERT_EQ(chown(path.c_str(), 89, 89), 0);
  }

  // Dovecot's quota rows: type -> {value, limit, percent}, as doveadm prints them.
  std::map<std::string, std::vector<std::string>> doveadm_quota(const std::string& address) {
    RunOptions options;
    options.argv = {kDoveadm, "-c", dovecot->config(), "-f", "tab", "quota", "get", "-u", address};
    options.env = {kPath};
    RunResult r = run_program(options);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::vector<std::string>> rows;
    for (const std::string& line : lines_of(r.out)) {
      std::vector<std::string> fields = split(line, '\t');
      if (fields.size() == 5 && fields[0] != "Quota name") {
        rows[fields[1]] = {fields[2], fields[3], fields[4]};
      }
    }
    return rows;
  }

  Sandbox box;
  std::string domain_dir;
  std::string login_program;  // "" for the passwd-file passdb
  std::unique_ptr<DovecotInstance> dovecot;
};

// The same private Dovecot, its logins through the store's own program.
class DovecotCheckpasswordTest : public DovecotTest {
 protected:
  DovecotCheckpasswordTest() { login_program = build_output("tessera-checkpassword-sandbox"); }
};

void let_the_second_turn() {
  for (time_t now = time(nullptr); time(nullptr) == now;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST_F(DovecotCheckpasswordTest, LoginProgramAdmitsImapAndPopByTheAccountFlagsAndQuota) {
  ok({"user", "add", "joe@example.com", "secret"});
  drop_message("joe", "1000000000.M1P1.test", 256000);
  ok({"user", "quota", "joe@example.com", "1000k,4C"});
  struct Attempt {
    std::string when, password, imap, pop3;
  };
  auto check = [&](const std::vector<Attempt>& attempts) {
    for (const Attempt& a : attempts) {
      ImapSession s = imap_login(dovecot->port(), "joe@example.com", a.password);
      EXPECT_EQ(s.login.substr(0, 2), a.imap) << a.when << " " << a.password << ": " << s.login;
      EXPECT_EQ(s.exists, a.imap == "OK" ? 1 : -1) << a.when << " " << a.password;
      std::string pop3 = pop3_login(dovecot->pop3_port(), "joe@example.com", a.password);
      EXPECT_EQ(pop3.substr(0, pop3.find(' ')), a.pop3)
          << a.when << " " << a.password << ": " << pop3;
    }
  };
  check({{"created", "secret", "OK", "+OK"}, {"created", "wrong", "NO", "-ERR"}});
  // Dovecot's quota plugin enforces the quota the store shows, told by the
  // login program even where no maildirsize carries it.
  ASSERT_EQ(unlink((domain_dir + "/joe/Maildir/maildirsize").c_str()), 0);
  EXPECT_EQ(doveadm_quota("joe@example.com"),
            (std::map<std::string, std::vector<std::string>>{{"STORAGE", {"250", "1000", "25"}},
                                                              {"MESSAGE", {"1", "4", "25"}}}));

  EXPECT_NE(account_page("nav=mod_user&eaddr=joe@example.com&uimap=on")
                .find("Modify Account joe@example.com success"),
            std::string::npos);
  check({{"IMAP disabled", "secret", "NO", "+OK"}});
  EXPECT_NE(dovecot->log().find("imap is disabled for joe@example.com"), std::string::npos);

  // The last login, POP3's, is what the account view shows.
  std::vector<std::string> shown = lines_of(tessera({"user", "show", "joe@example.com"}).out);
  ASSERT_EQ(shown.size(), 4u);
  time_t when = 0;
  struct stat st;
  if (stat((domain_dir + "/joe/lastauth").c_str(), &st) == 0) when = st.st_mtime;
  struct tm utc;
  char text[32];
  gmtime_r(&when, &utc);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  EXPECT_GT(when, time(nullptr) - 60);
  EXPECT_EQ(shown[3].substr(0, shown[3].rfind('.') + 1),
            std::string("last login: ") + text + " UTC from 127.0.1.");
}

TEST_F(DovecotTest, AccountLogsInWithItsCurrentPasswordUntilDeleted) {
  ok({"user", "add", "joe@example.com", "first secret", "Joe Bloggs"});
  ASSERT_EQ(split(read_file(domain_dir + "/tpasswd"), ':').at(5), domain_dir + "/joe");
  drop_message("joe", "1000000000.M1P1.test", 300);
  drop_message("joe", "1000000001.M2P1.test", 400);

  struct Attempt {
    std::string when, password, login;
    long exists;
  };
  auto check = [&](const std::vector<Attempt>& attempts) {
    for (const Attempt& a : attempts) {
      ImapSession s = imap_login(dovecot->port(), "joe@example.com", a.password);
      EXPECT_EQ(s.login.substr(0, 2), a.login) << a.when << " " << a.password << ": " << s.login;
      EXPECT_EQ(s.exists, a.exists) << a.when << " " << a.password;
    }
  };
  check({{"created", "first secret", "OK", 2}, {"created", "wrong", "NO", -1}});

  let_the_second_turn();
  ok({"user", "passwd", "joe@example.com", "second secret"});
  check({{"changed", "first secret", "NO", -1}, {"changed", "second secret", "OK", 2}});

  let_the_second_turn();
  ok({"user", "del", "joe@example.com"});
  check({{"deleted", "second secret", "NO", -1}});
}

TEST_F(DovecotTest, AccountMadeAndChangedThroughThePagesLogsIn) {
  EXPECT_NE(account_page("nav=add_user&eaddr=Joe@Example.com&cpass=first+secret&udisable=on")
                .find("Email Account joe@example.com created"),
            std::string::npos);
  // POP switched off is the flag word's 0x2, on disk.
  EXPECT_EQ(stored_line().at(3), "2");
  struct Attempt {
    std::string password, login;
  };
  auto check = [&](const char* when, const std::vector<Attempt>& attempts) {
    for (const Attempt& a : attempts) {
      ImapSession s = imap_login(dovecot->port(), "joe@example.com", a.password);
      EXPECT_EQ(s.login.substr(0, 2), a.login) << when << " " << a.password << ": " << s.login;
    }
  };
  // The browser's "+" for a blank reaches the password as the blank typed.
  check("created", {{"first secret", "OK"}, {"first+secret", "NO"}});

  let_the_second_turn();
  EXPECT_NE(account_page("nav=mod_user&eaddr=joe@example.com&cpass=second&udisable=on")
                .find("Modify Account joe@example.com success"),
            std::string::npos);
  check("changed", {{"first secret", "NO"}, {"second", "OK"}});
  EXPECT_EQ(stored_line().at(3), "2");
}

// A line still holding an older "$1$" hash (as `openssl passwd -1` makes
// one) logs in beside an account whose hash the store has just made.
TEST_F(DovecotTest, NewAndOlderHashesBothLogIn) {
  ok({"user", "add", "ann@example.com", "new secret"});
  ok({"user", "add", "joe@example.com", "unused"});
  RunOptions openssl;
  openssl.argv = {"/usr/bin/openssl", "passwd", "-1", "-salt", "OlDsAlT.", "old secret"};
  openssl.env = {kPath};
  std::string old_hash = lines_of(run_program(openssl).out).at(0);
  ASSERT_EQ(old_hash.substr(0, 12), "$1$OlDsAlT.$");
  let_the_second_turn();
  std::string tpasswd;
  for (const std::string& line : lines_of(read_file(domain_dir + "/tpasswd"))) {
    std::vector<std::string> f = split(line, ':');
    if (f.at(0) == "ann") {
      EXPECT_EQ(f.at(1).substr(0, 3), "$6$") << line;
    }
    if (f.at(0) == "joe") f.at(1) = old_hash;
    std::string joined = f.at(0);
    for (size_t i = 1; i < f.size(); ++i) joined += ":" + f[i];
    tpasswd += joined + "\n";
  }
  write_file(domain_dir + "/tpasswd", tpasswd);
  const struct {
    std::string address, password, login;
  } attempts[] = {{"ann@example.com", "new secret", "OK"}, {"ann@example.com", "old secret", "NO"},
                  {"joe@example.com", "old secret", "OK"}, {"joe@example.com", "unused", "NO"}};
  for (const auto& a : attempts) {
    ImapSession s = imap_login(dovecot->port(), a.address, a.password);
    EXPECT_EQ(s.login.substr(0, 2), a.login) << a.address << " " << a.password << ": " << s.login;
  }
}

// An account made with an empty password field admits no login: Dovecot
// refuses an empty password and any other one alike.
TEST_F(DovecotTest, EmptyPasswordFieldAdmitsNoLogin) {
  EXPECT_NE(account_page("nav=add_user&eaddr=ann@example.com&cpass=")
                .find("Email Account ann@example.com created"),
            std::string::npos);
  EXPECT_EQ(stored_line().at(1), "");
  for (const std::string password : {"", "x", "ann"}) {
    ImapSession s = imap_login(dovecot->port(), "ann@example.com", password);
    EXPECT_EQ(s.login.substr(0, 2), "NO") << "'" << password << "': " << s.login;
  }
}

TEST_F(DovecotTest, MaildirQuotaBackendReadsTheLimitAndUsageTesseraShows) {
  ok({"user", "add", "ann@example.com", "secret"});
  drop_message("ann", "1000000000.M1P1.test", 256000);
  drop_message("ann", "1000000001.M2P1.test", 256000);

  struct Case {
    std::string quota;
    std::map<std::string, std::vector<std::string>> rows;  // Dovecot's, KiB for STORAGE
    std::string percent;                                    // tessera's
  } cases[] = {
      {"1000k,4C", {{"STORAGE", {"500", "1000", "50"}}, {"MESSAGE", {"2", "4", "50"}}}, "50"},
      {"600KB", {{"STORAGE", {"500", "600", "83"}}, {"MESSAGE", {"2", "-", "0"}}}, "83"},
      {"2C", {{"STORAGE", {"500", "-", "0"}}, {"MESSAGE", {"2", "2", "100"}}}, "100"},
      {"NOQUOTA", {{"STORAGE", {"0", "-", "0"}}, {"MESSAGE", {"0", "-", "0"}}}, "0"},
  };
  for (const Case& c : cases) {
    ok({"user", "quota", "ann@example.com", c.quota});
    std::vector<std::string> shown = lines_of(tessera({"user", "show", "ann@example.com"}).out);
    ASSERT_EQ(shown.size(), 4u) << c.quota;
    EXPECT_EQ(shown[2], "quota: " + c.percent + "%") << c.quota;
    EXPECT_EQ(doveadm_quota("ann@example.com"), c.rows) << c.quota;
  }
}

}  // namespace

namespace {

// Every message of INBOX as IMAP gives it (BODY.PEEK[] literals, in order).
std::vector<std::string> imap_fetch_all(int port, const std::string& address,
                                        const std::string& password) {
  std::vector<std::string> bodies;
  int fd = connect_from("127.0.0.9", port);
  if (fd < 0) return bodies;
  std::string commands = "t1 LOGIN \"" + address + "\" \"" + password +
                         "\"\r\nt2 SELECT INBOX\r\nt3 FETCH 1:* BODY.PEEK[]\r\nt4 LOGOUT\r\n";
  if (write(fd, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size())) {
    std::string text = read_until_closed(fd);
    for (size_t at = 0; (at = text.find("BODY[] {", at)) != std::string::npos;) {
      size_t close_brace = text.find("}\r\n", at);
      size_t length = std::stoul(text.substr(at + 8, close_brace - at - 8));
      bodies.push_back(text.substr(close_brace + 3, length));
      at = close_brace + 3 + length;
    }
  }
  close(fd);
  return bodies;
}

std::string with_crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

}  // namespace

// A mailbox made through the account page receives three messages through
// its domain's .qmail-default line, run as qmail-local runs it; Dovecot,
// logged in as the mailbox, fetches them as they were delivered, and its
// quota, maildirsize and `tessera user show` agree on the use.
TEST_F(DovecotTest, MessagesDeliveredThroughQmailDefaultAreFetchedAndCounted) {
  EXPECT_NE(account_page("nav=add_user&eaddr=joe@example.com&cpass=secret")
                .find("Email Account joe@example.com created"),
            std::string::npos);
  ok({"user", "quota", "joe@example.com", "100k,10C"});
  std::string line = read_file(domain_dir + "/.qmail-default");
  ASSERT_TRUE(line.starts_with("| ")) << line;
  std::vector<std::string> sent;
  for (int n = 1; n <= 3; ++n) {
    RunOptions run;
    run.argv = {"/bin/sh", "-c", line.substr(2)};
    run.env = {kPath, "LARKSPUR_ROOT=" + box.root(), "HOST=example.com", "EXT=joe", "DEFAULT=joe",
               "LOCAL=example.com-joe", "SENDER=someone@example.org",
               "RECIPIENT=example.com-joe@example.com",
               "DTLINE=Delivered-To: example.com-joe@example.com\n",
               "RPLINE=Return-Path: <someone@example.org>\n"};
    run.input = "From: someone@example.org\nSubject: message " + std::to_string(n) + "\n\n" +
                std::string(4000 * n, 'a' + n) + "\n";
    run.workdir = domain_dir;
    RunResult r = run_program(run);
    ASSERT_EQ(r.status, 0) << r.err;
    sent.push_back("Return-Path: <someone@example.org>\nDelivered-To: example.com-joe@example.com\n" +
                   run.input);
  }
  std::vector<std::string> fetched = imap_fetch_all(dovecot->port(), "joe@example.com", "secret");
  ASSERT_EQ(fetched.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(fetched[i], with_crlf(sent[i])) << i;

  uint64_t bytes = 0, count = 0;
  std::vector<std::string> usage = lines_of(read_file(domain_dir + "/joe/Maildir/maildirsize"));
  ASSERT_GE(usage.size(), 2u);
  EXPECT_EQ(usage[0], "102400S,10C");
  for (size_t i = 1; i < usage.size(); ++i) {
    std::vector<std::string> pair = split(usage[i], ' ');
    bytes += std::stoull(pair.at(0));
    count += std::stoull(pair.at(1));
  }
  EXPECT_EQ(bytes, sent[0].size() + sent[1].size() + sent[2].size());
  EXPECT_EQ(count, 3u);
  std::map<std::string, std::vector<std::string>> rows = doveadm_quota("joe@example.com");
  // Dovecot shows the storage in KiB, a part KiB counted whole.
  EXPECT_EQ(rows["STORAGE"].at(0), std::to_string((bytes + 1023) / 1024));
  EXPECT_EQ(rows["MESSAGE"].at(0), "3");
  std::vector<std::string> shown = lines_of(tessera({"user", "show", "joe@example.com"}).out);
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[2], "quota: " + std::to_string(std::max(bytes * 100 / 102400, count * 10)) + "%");
}

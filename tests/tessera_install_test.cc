// A fresh installation, end to end: `cmake --install` of this build into a
// DESTDIR, then the installed tessera's init on a host that has qmail but
// no store, and the first domain and mailbox made on the first try.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>

#include "base/audit_log.h"
#include "tests/tessera_cli.h"

namespace {

namespace fs = std::filesystem;

const char kNoLimits[] =
    "maxpopaccounts: -1\nmaxaliases: -1\nmaxforwards: -1\nmaxautoresponders: -1\n"
    "maxmailinglists: -1\nquota: 0\nmaxmsgcount: 0\ndefault_quota: 0\ndefault_maxmsgcount: 0\n"
    "perm_account: 0\nperm_alias: 0\nperm_forward: 0\nperm_autoresponder: 0\nperm_maillist: 0\n"
    "perm_quota: 0\nperm_defaultquota: 0\n";

std::string cmake_program() {
  for (const char* path : {"/usr/bin/cmake", "/usr/local/bin/cmake"}) {
    if (fs::exists(path)) return path;
  }
  return "cmake";
}

RunResult install(const std::string& destdir, const std::vector<std::string>& extra = {}) {
  RunOptions options;
  options.argv = {cmake_program(), "--install", fs::path(build_output("tessera")).parent_path(),
                  "--prefix", "/usr/local"};
  options.argv.insert(options.argv.end(), extra.begin(), extra.end());
  options.env = {"PATH=/usr/bin:/bin", "DESTDIR=" + destdir};
  return run_program(options);
}

// Every path under a directory with its mode, owner and content size.
std::map<std::string, std::string> tree(const std::string& top) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    entries[entry.path()] = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                            std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " " +
                            std::to_string(st.st_mtim.tv_nsec);
  }
  return entries;
}

class TesseraInstallTest : public TesseraSandboxTest {
 protected:
  RunResult installed(const std::vector<std::string>& words) {
    RunOptions options;
    options.argv = {dest() + "/usr/local/bin/tessera", "--root", box.root()};
    options.argv.insert(options.argv.end(), words.begin(), words.end());
    options.env = {"PATH=/usr/bin:/bin"};
    return run_program(options);
  }
  std::string dest() { return box.root() + "/dest"; }
  // The manual renders without a warning (where groff is installed) and
  // names every command of the usage text.
  void expect_manual_names_every_command(const std::string& page) {
    if (file_exists("/usr/bin/groff")) {
      RunOptions render;
      render.argv = {"/usr/bin/groff", "-man", "-Tutf8", "-ww", "-z", page};
      render.env = {"PATH=/usr/bin:/bin"};
      RunResult r = run_program(render);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
    }
    std::string text = read_file(page);
    size_t commands = 0;
    for (const std::string& line : lines_of(installed({"help"}).out)) {
      if (line.find("tessera ") == std::string::npos) continue;
      // The words after the options in brackets, up to the first argument.
      std::istringstream words(line.substr(line.find("tessera ") + 8));
      std::string command;
      bool in_option = false;
      for (std::string word; words >> word;) {
        if (word[0] == '[') in_option = true;
        if (in_option) {
          in_option = word.back() != ']';
          continue;
        }
        if (!std::islower(static_cast<unsigned char>(word[0]))) break;
        command += (command.empty() ? "" : " ") + word;
      }
      if (command.empty()) continue;
      ++commands;
      EXPECT_NE(text.find(command), std::string::npos) << command;
    }
    EXPECT_EQ(commands, 26u);
  }
  std::string home() { return box.path("/usr/local/tessera"); }
  void expect_mode(const std::string& path, mode_t mode) {
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
    EXPECT_EQ(st.st_uid, 89u) << path;
    EXPECT_EQ(st.st_gid, 89u) << path;
  }
};

TEST_F(TesseraInstallTest, InstallInitThenFirstDomainAndMailboxWork) {
  RunResult r = install(dest());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string cgi = dest() + "/usr/local/lib/cgi-bin/larkspur";
  const std::string man = dest() + "/usr/local/share/man/man8/tessera.8";
  for (const std::string& path : {dest() + "/usr/local/bin/tessera", cgi + "/larkspur.cgi",
                                  cgi + "/html/main.html", cgi + "/html/en", man,
                                  dest() + "/usr/local/tessera/bin/tdelivermail",
                                  dest() + "/usr/local/tessera/bin/tessera-autorespond"}) {
    EXPECT_TRUE(file_exists(path)) << path;
  }
  expect_manual_names_every_command(man);
  // html/ as the build made it: every template and regional language file.
  const std::string built = fs::path(build_output("html")).string();
  for (const auto& entry : fs::recursive_directory_iterator(built)) {
    std::string name = entry.path().lexically_relative(built);
    if (!entry.is_directory()) {
      EXPECT_EQ(read_file(cgi + "/html/" + name), read_file(entry.path())) << name;
    }
  }
  EXPECT_EQ(tree(cgi + "/html").size(), tree(built).size());
  EXPECT_EQ(read_file(cgi + "/larkspur.acl"), "admins * admin\n");
  EXPECT_FALSE(file_exists(dest() + "/var/qmail/bin/qmail-newu"));

  // A reinstall keeps the site's access list; the stand-ins come on request.
  write_file(cgi + "/larkspur.acl", "site * root\n");
  ASSERT_EQ(install(dest(), {"--component", "qmail-standins"}).status, 0);
  ASSERT_EQ(install(dest()).status, 0);
  EXPECT_EQ(read_file(cgi + "/larkspur.acl"), "site * root\n");
  EXPECT_TRUE(file_exists(dest() + "/var/qmail/bin/qmail-newu"));
  EXPECT_TRUE(file_exists(dest() + "/var/qmail/bin/qmail-newmrh"));

  fs::remove_all(box.path("/usr/local"));
  // Root's tessera works as the store's user, who must reach the tree.
  fs::permissions(box.root(), fs::perms::owner_all | fs::perms::others_exec);
  RunResult init = installed({"init"});
  EXPECT_EQ(init.status, 0) << init.err;
  EXPECT_EQ(init.out, "made " + box.path("/usr/local") + "\nmade " +
                          home() + "\nmade " + home() + "/domains\nmade " + home() +
                          "/etc\nmade " + home() + "/etc/tlimits.default\nstore ready: " + home() +
                          "\n");
  expect_mode(home(), 0755);
  expect_mode(home() + "/domains", 0750);
  expect_mode(home() + "/etc", 0750);
  expect_mode(home() + "/etc/tlimits.default", 0644);
  EXPECT_EQ(read_file(home() + "/etc/tlimits.default"), kNoLimits);
  // init changes the store: its audit line is the one file it adds there.
  EXPECT_EQ(names_in(home() + "/etc"), (std::set<std::string>{"larkspur.log", "tlimits.default"}));

  const std::string log = home() + "/etc/larkspur.log";
  std::map<std::string, std::string> before = tree(box.path("/usr"));
  RunResult again = installed({"init"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "store ready: " + home() + "\n");
  std::map<std::string, std::string> after = tree(box.path("/usr"));
  before.erase(log);
  after.erase(log);
  EXPECT_EQ(after, before);
  EXPECT_EQ(audit_lines(), (std::vector<std::string>{"init\t" + home() + "\tok",
                                                     "init\t" + home() + "\tok"}));

  RunResult domain = installed({"domain", "add", "example.com"});
  EXPECT_EQ(domain.status, 0) << domain.err;
  RunResult user = installed({"user", "add", "ann@example.com", "secret"});
  EXPECT_EQ(user.status, 0) << user.err;
  // The log names who asked (root), though the store's user wrote the line.
  EXPECT_NE(read_file(log).find("\ttessera:root\t-\tuser add\tann@example.com\tok\n"),
            std::string::npos);
  EXPECT_EQ(lines_of(installed({"user", "show", "ann@example.com"}).out).at(3),
            "last login: never");
  // Run as root, nothing it made is root's: the pages go on changing it.
  for (const char* made : {"/var/qmail/users", "/var/qmail/users/assign",
                           "/var/qmail/users/assign.lock", "/var/qmail/users/cdb",
                           "/var/qmail/control/rcpthosts", "/var/qmail/control/rcpthosts.lock",
                           "/usr/local/tessera/etc/larkspur.log",
                           "/usr/local/tessera/domains/example.com/tpasswd"}) {
    struct stat st {};
    EXPECT_EQ(lstat(box.path(made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_uid, 89u) << made;
  }
}

TEST_F(TesseraInstallTest, InitKeepsWhatIsThereAndSaysWhatQmailLacks) {
  write_file(home() + "/etc/tlimits.default", "disable_pop\n");
  fs::remove_all(box.path("/var/qmail/control"));
  const std::string newmrh = box.path("/var/qmail/bin/qmail-newmrh");
  ASSERT_EQ(chmod(newmrh.c_str(), 0644), 0);
  RunResult r = tessera({"init"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "made " + home() + "/domains\n");
  EXPECT_EQ(r.err, "tessera: qmail's " + box.path("/var/qmail/control") +
                       " is missing: install qmail first\ntessera: qmail's " + newmrh +
                       " is missing or not executable: install qmail first\n");
  ASSERT_EQ(chmod(newmrh.c_str(), 0755), 0);
  EXPECT_EQ(read_file(home() + "/etc/tlimits.default"), "disable_pop\n");

  // A file where a directory belongs is reported, never replaced.
  fs::create_directories(box.path("/var/qmail/control"));
  fs::remove_all(home() + "/domains");
  write_file(home() + "/domains", "");
  RunResult blocked = tessera_json({"init"});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(json_renders_plain(blocked.out, "",
                               "assert d['ready'] is False and d['made'] == [] "
                               "and d['missing'] == []\nout = ''"),
            "same");
  EXPECT_EQ(blocked.err, "tessera: cannot make " + home() + "/domains: Not a directory\n");

  // Without qmail-newu no table change is ever compiled: not ready.
  fs::remove(home() + "/domains");
  fs::remove(box.path("/var/qmail/bin/qmail-newu"));
  RunResult no_tool = tessera({"init"});
  EXPECT_EQ(no_tool.status, 1);
  EXPECT_EQ(no_tool.out, "made " + home() + "/domains\n");
  EXPECT_EQ(no_tool.err, "tessera: qmail's " + box.path("/var/qmail/bin/qmail-newu") +
                             " is missing or not executable: install qmail first\n");
}

// A root-only file stands for /etc/shadow: a link where etc/ or domains/
// belongs is refused, and the file is left as it was.
TEST_F(TesseraInstallTest, InitNeverChangesWhatALinkInItsPlacePointsAt) {
  const std::string secret = box.root() + "/shadow";
  write_file(secret, "root:x\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  fs::create_directories(home());
  for (const char* place : {"/etc", "/domains"}) {
    ASSERT_EQ(symlink(secret.c_str(), (home() + place).c_str()), 0);
  }
  RunResult r = tessera({"init"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tessera: cannot make " + home() +
                       "/domains: a symbolic link stands there; refused\ntessera: cannot make " +
                       home() + "/etc: a symbolic link stands there; refused\ntessera: " +
                       kAuditNotWritten + "\n");
  struct stat st {};
  ASSERT_EQ(stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, getuid());
  EXPECT_EQ(read_file(secret), "root:x\n");
}

}  // namespace

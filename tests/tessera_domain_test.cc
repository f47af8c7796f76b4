// The tessera tool's domain and limits commands, end to end in a sandbox
// with the qmail stand-ins: every file a command touches, byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "base/audit_log.h"
#include "tests/tessera_cli.h"
#include "tests/testlib/testlib.h"

namespace {

class TesseraDomainTest : public TesseraSandboxTest {
 protected:
  void ok(const std::vector<std::string>& words) {
    RunResult r = tessera(words);
    ASSERT_EQ(r.status, 0) << words.back() << ": " << r.err;
  }
  std::string qmail(const std::string& name) { return read_file(box.path("/var/qmail/" + name)); }
  std::string home() { return box.path("/usr/local/tessera"); }
  std::string entry(const std::string& name, const std::string& dir) {
    return "+" + name + "-:example.com:89:89:" + dir + ":-::\n";
  }

  static struct stat status_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }
  static void expect_owned(const std::string& path, mode_t mode) {
    struct stat st = status_of(path);
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
    EXPECT_EQ(st.st_uid, 89u) << path;
    EXPECT_EQ(st.st_gid, 89u) << path;
  }
};

TEST_F(TesseraDomainTest, AddingADomainWritesEveryFileItTouches) {
  write_file(box.path("/var/qmail/control/locals"), "localhost\nexample.com\n");
  ok({"domain", "add", "Example.COM"});
  std::string dir = home() + "/domains/example.com";
  EXPECT_EQ(qmail("users/assign"), entry("example.com", dir) + ".\n");
  EXPECT_EQ(run_tinycdb({"-d", box.path("/var/qmail/users/cdb")}).out,
            tinycdb_records({{"!example.com-",
                              std::string("example.com\0" "89\0" "89\0", 18) + dir +
                                  std::string("\0-\0\0", 4)}}));
  EXPECT_EQ(qmail("control/rcpthosts"), "example.com\n");
  EXPECT_EQ(qmail("control/virtualdomains"), "example.com:example.com\n");
  EXPECT_EQ(qmail("control/locals"), "localhost\n");
  for (const char* table : {"users/assign", "control/rcpthosts", "control/virtualdomains",
                            "control/locals"}) {
    EXPECT_EQ(status_of(box.path("/var/qmail/") + table).st_mode & 07777, 0644u) << table;
  }
  EXPECT_EQ(read_file(dir + "/.qmail-default"),
            "| " + home() + "/bin/tdelivermail '' bounce-no-mailbox\n");
  EXPECT_EQ(read_file(home() + "/domains/.dir-control"),
            "1\n0\n3\n0 0 0\n61 61 61\n0 2 4\n0 0 0\n\n");
  expect_owned(dir, 0700);
  expect_owned(dir + "/.qmail-default", 0600);
  expect_owned(home() + "/domains", 0700);
  expect_owned(home() + "/domains/.dir-control", 0600);

  RunResult show = tessera({"domain", "show", "EXAMPLE.com"});
  EXPECT_EQ(show.out, "example.com\t" + dir + "\t89\t89\n");
  RunResult again = tessera({"domain", "add", "example.com"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "Domain already exists\n");
}

TEST_F(TesseraDomainTest, AliasesFollowTheirRealDomainAndLeaveWithIt) {
  ok({"domain", "add", "example.com"});
  ok({"domain", "alias", "a.net", "example.com"});
  ok({"domain", "alias", "B.org", "a.net"});  // an alias of an alias joins the real domain
  ok({"domain", "alias", "c.com", "example.com"});
  std::string dir = home() + "/domains/example.com";
  EXPECT_EQ(qmail("users/assign"), entry("a.net", dir) + entry("b.org", dir) +
                                       entry("c.com", dir) + entry("example.com", dir) + ".\n");
  EXPECT_EQ(tessera({"domain", "list", "b.org"}).out,
            "a.net\texample.com\t89\t89\t" + dir + "\nb.org\texample.com\t89\t89\t" + dir +
                "\nc.com\texample.com\t89\t89\t" + dir + "\nexample.com\texample.com\t89\t89\t" +
                dir + "\n");
  EXPECT_EQ(tessera({"domain", "show", "b.org"}).out, "example.com\t" + dir + "\t89\t89\n");

  ok({"domain", "del", "c.com"});  // an alias alone: only its table lines go
  EXPECT_EQ(qmail("users/assign"),
            entry("a.net", dir) + entry("b.org", dir) + entry("example.com", dir) + ".\n");
  EXPECT_EQ(qmail("control/rcpthosts"), "a.net\nb.org\nexample.com\n");
  EXPECT_EQ(qmail("control/virtualdomains"), "a.net:a.net\nb.org:b.org\nexample.com:example.com\n");
  EXPECT_TRUE(file_exists(dir + "/.qmail-default"));

  write_file(dir + "/.kestrel-limits", "maxpopaccounts: 3\n");
  ok({"domain", "del", "EXAMPLE.COM"});  // the real domain takes both remaining aliases
  EXPECT_EQ(qmail("users/assign"), ".\n");
  EXPECT_EQ(qmail("control/rcpthosts"), "");
  EXPECT_EQ(qmail("control/virtualdomains"), "");
  EXPECT_FALSE(file_exists(dir));
  EXPECT_EQ(lines_of(read_file(home() + "/domains/.dir-control"))[0], "0");
  EXPECT_EQ(tessera({"domain", "list"}).out, "");
  for (const char* table : {"control/rcpthosts", "control/virtualdomains", "users/assign"}) {
    EXPECT_EQ(status_of(box.path("/var/qmail/") + table).st_mode & 07777, 0644u) << table;
  }
}

TEST_F(TesseraDomainTest, FullRcpthostsOverflowsIntoMorercpthostsAndBack) {
  std::string hosts;
  for (int i = 0; i < 49; ++i) hosts += "h" + std::to_string(100 + i) + ".net\n";
  write_file(box.path("/var/qmail/control/rcpthosts"), hosts);
  ok({"domain", "add", "example.com"});  // the 50th line
  ok({"domain", "alias", "a.org", "example.com"});
  ok({"domain", "alias", "b.org", "example.com"});
  EXPECT_EQ(lines_of(qmail("control/rcpthosts")).size(), 50u);
  EXPECT_EQ(qmail("control/morercpthosts"), "a.org\nb.org\n");
  EXPECT_EQ(run_tinycdb({"-q", box.path("/var/qmail/control/morercpthosts.cdb"), "b.org"}).status,
            0);

  ok({"domain", "del", "a.org"});  // leaves one name: recompiled
  EXPECT_EQ(qmail("control/morercpthosts"), "b.org\n");
  EXPECT_NE(run_tinycdb({"-q", box.path("/var/qmail/control/morercpthosts.cdb"), "a.org"}).status,
            0);
  ok({"domain", "del", "example.com"});  // names in both files leave both
  EXPECT_EQ(qmail("control/rcpthosts"), hosts);
  EXPECT_FALSE(file_exists(box.path("/var/qmail/control/morercpthosts")));
  EXPECT_FALSE(file_exists(box.path("/var/qmail/control/morercpthosts.cdb")));
}

TEST_F(TesseraDomainTest, FailuresPrintTheStoreMessage) {
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string err;
  } cases[] = {
      {{"domain", "list"}, 1, "can't read users/assign file\n"},
      {{"domain", "show", "nowhere.net"}, 1, "Domain does not exist\n"},
      {{"domain", "del", "nowhere.net"}, 1, "Domain does not exist\n"},
      {{"domain", "add", "ab"}, 1, "Invalid domain name\n"},
      {{"domain", "add", "-abc.com"}, 1, "Invalid domain name\n"},
      {{"domain", "add", "abc.com-"}, 1, "Invalid domain name\n"},
      {{"domain", "add", "abc_def.com"}, 1, "Invalid domain name\n"},
      // New names are host names: no empty label, none with "-" at an end.
      {{"domain", "add", ".evil.99999999"}, 1, "Invalid domain name\n"},
      {{"domain", "add", ".-."}, 1, "Invalid domain name\n"},
      {{"domain", "add", "abc-.com"}, 1, "Invalid domain name\n"},
      {{"domain", "alias", ".x.99999999", "nowhere.net"}, 1, "Invalid domain name\n"},
      {{"domain", "add", std::string(93, 'a') + ".com"}, 1, "domain name too long\n"},
      {{"domain", "alias", "a.net", "nowhere.net"}, 1, "Domain does not exist\n"},
      {{"domain", "alias", "a_b.net", "nowhere.net"}, 1, "Invalid domain name\n"},
      {{"limits", "show", "nowhere.net"}, 1, "Domain does not exist\n"},
      {{"limits", "del", "nowhere.net"}, 1, "Domain does not exist\n"},
  };
  for (const Case& c : cases) {
    RunResult r = tessera(c.words);
    EXPECT_EQ(r.status, c.status) << c.words.back();
    EXPECT_EQ(r.err, c.err) << c.words.back();
    EXPECT_EQ(r.out, "") << c.words.back();
  }
  EXPECT_FALSE(file_exists(home() + "/domains"));  // refused names make nothing
  // Words that form no command: what was not understood, then the usage.
  // Asked for, the usage goes to stdout.
  struct Usage {
    std::vector<std::string> words;
    int status;
    std::string err;  // before the usage text
  } usages[] = {
      {{"domain"}, 2, ""},
      {{"domain", "add"}, 2, ""},
      {{"domain", "add", "a", "b"}, 2, ""},
      {{"zone", "add", "x.com"}, 2, "tessera: unknown command: zone add\n"},
      {{"domian", "list"}, 2, "tessera: unknown command: domian list\n"},
      {{"domain", "frob", "x.com"}, 2, "tessera: unknown command: domain frob\n"},
      {{"domain", "list", "--fix"}, 2, "tessera: unknown option: --fix\n"},
      {{"domain", "add", "x.com", "--dry-run"}, 2, "tessera: domain add takes no option --dry-run\n"},
      {{"help"}, 0, ""},
      {{"-h"}, 0, ""},
      {{"domain", "list", "--help"}, 0, ""},
  };
  for (const Usage& u : usages) {
    RunResult r = tessera(u.words);
    EXPECT_EQ(r.status, u.status) << u.words.back();
    const std::string& usage = u.status == 0 ? r.out : r.err;
    EXPECT_EQ(u.status == 0 ? r.err : r.out, "") << u.words.back();
    EXPECT_EQ(usage.substr(0, u.err.size()), u.err) << u.words.back();
    EXPECT_EQ(usage.find("usage: tessera"), u.err.size()) << usage;
  }
  RunResult version = tessera({"--version"});
  EXPECT_EQ(version.status, 0);
  // The pages' version lines name the same releases.
  EXPECT_EQ(version.out, "larkspur 1.0\ntessera 1.0\n");
  ok({"domain", "add", "example.com"});
  EXPECT_EQ(tessera({"domain", "alias", "example.com", "example.com"}).err,
            "Domain already exists\n");
  EXPECT_EQ(tessera({"domain", "list", "other.org"}).out, "");
  // Global options after the command words work as before them.
  RunOptions late;
  late.argv = {build_output("tessera"), "domain", "show", "example.com", "--root", box.root()};
  late.env = {"PATH=/usr/bin:/bin"};
  RunResult shown = run_program(late);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out, tessera({"domain", "show", "example.com"}).out);
}

TEST_F(TesseraDomainTest, FailedTableUpdateUndoesTheNewDirectoryAndSlot) {
  ok({"domain", "add", "first.com"});
  std::string assign = box.path("/var/qmail/users/assign");
  std::string kept = read_file(assign);
  ASSERT_EQ(unlink(assign.c_str()), 0);
  ASSERT_EQ(mkdir(assign.c_str(), 0755), 0);  // unreadable as a table
  RunResult r = tessera({"domain", "add", "second.com"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error. Failed to add domain to assign file\n"), std::string::npos);
  EXPECT_EQ(r.err.substr(r.err.size() - 22), "Could not update file\n");
  EXPECT_FALSE(file_exists(home() + "/domains/second.com"));
  EXPECT_EQ(lines_of(read_file(home() + "/domains/.dir-control"))[0], "1");
}

TEST_F(TesseraDomainTest, LimitsCommandsKeepTheCanonicalFile) {
  ok({"domain", "add", "example.com"});
  RunResult none = tessera({"limits", "show", "example.com"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "can't read domain limits\n");

  const std::string defaults =
      "maxpopaccounts: -1\nmaxaliases: -1\nmaxforwards: -1\nmaxautoresponders: -1\n"
      "maxmailinglists: -1\nquota: 0\nmaxmsgcount: 0\ndefault_quota: 0\n"
      "default_maxmsgcount: 0\nperm_account: 0\nperm_alias: 0\nperm_forward: 0\n"
      "perm_autoresponder: 0\nperm_maillist: 0\nperm_quota: 0\nperm_defaultquota: 0\n";
  write_file(home() + "/etc/tlimits.default", "# nothing set\n");
  EXPECT_EQ(tessera({"limits", "show", "example.com"}).out, defaults);

  RunResult set = tessera({"limits", "set", "example.com", "-"},
                          "maxpopaccounts:::  7\r\ndisable_smtp: 0\nperm_maillist 85\n");
  ASSERT_EQ(set.status, 0) << set.err;
  std::string file = home() + "/domains/example.com/.kestrel-limits";
  std::string expected = defaults;
  expected.replace(expected.find("maxpopaccounts: -1"), 18, "maxpopaccounts: 7");
  expected.replace(expected.find("perm_account"), 0, "disable_smtp\n");
  expected.replace(expected.find("perm_maillist: 0"), 16, "perm_maillist: 85");
  EXPECT_EQ(read_file(file), expected);
  expect_owned(file, 0600);
  EXPECT_EQ(tessera({"limits", "show", "example.com"}).out, expected);

  ok({"limits", "del", "example.com"});
  EXPECT_FALSE(file_exists(file));
  RunResult again = tessera({"limits", "del", "example.com"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "no limits file\n");
}

TEST_F(TesseraDomainTest, ConcurrentCreatorsEnterEveryDomainOnceInOrder) {
  std::string tool = build_output("tessera") + " --root " + box.root();
  std::vector<std::string> jobs;
  std::vector<std::string> names;
  for (int p = 0; p < 8; ++p) {
    std::string job = "for n in 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 "
                      "32 33 34; do " + tool + " domain add p" + std::to_string(p) +
                      "n$n.com >/dev/null || echo FAILED; done";
    jobs.push_back(job);
    for (int n = 10; n < 35; ++n) {
      names.push_back("p" + std::to_string(p) + "n" + std::to_string(n) + ".com");
    }
  }
  RunResult r = run_at_once(jobs);
  EXPECT_EQ(r.out, "");
  std::sort(names.begin(), names.end());

  std::vector<std::string> assign = lines_of(qmail("users/assign"));
  ASSERT_FALSE(assign.empty());
  EXPECT_EQ(assign.back(), ".");
  assign.pop_back();
  std::vector<std::string> assign_names;
  for (const std::string& line : assign) assign_names.push_back(line.substr(1, line.find('-') - 1));
  EXPECT_EQ(assign_names, names);  // each once, and in key order

  std::vector<std::string> hosts = lines_of(qmail("control/rcpthosts"));
  std::vector<std::string> more = lines_of(qmail("control/morercpthosts"));
  EXPECT_TRUE(std::is_sorted(hosts.begin(), hosts.end()));
  EXPECT_TRUE(std::is_sorted(more.begin(), more.end()));
  hosts.insert(hosts.end(), more.begin(), more.end());
  std::sort(hosts.begin(), hosts.end());
  EXPECT_EQ(hosts, names);

  std::vector<std::string> virtuals = lines_of(qmail("control/virtualdomains"));
  std::vector<std::string> expected_virtuals;
  for (const std::string& name : names) expected_virtuals.push_back(name + ":" + name);
  EXPECT_EQ(virtuals, expected_virtuals);
  EXPECT_EQ(lines_of(read_file(home() + "/domains/.dir-control"))[0], "200");
  EXPECT_EQ(run_tinycdb({"-q", box.path("/var/qmail/users/cdb"), "!p7n34.com-"}).status, 0);
}

TEST_F(TesseraDomainTest, ConcurrentCreatorsOfOneNameLeaveOneEntry) {
  std::string add = build_output("tessera") + " --root " + box.root() +
                    " domain add same.com 2>&1; echo \"status $?\"";
  RunResult r = run_at_once({add, add, add, add});
  std::map<std::string, int> outcomes;
  for (const std::string& line : lines_of(r.out)) ++outcomes[line];
  EXPECT_EQ(outcomes["status 0"], 1) << r.out;
  EXPECT_EQ(outcomes["status 1"], 3) << r.out;
  EXPECT_EQ(outcomes["Domain already exists"], 3) << r.out;
  EXPECT_EQ(qmail("users/assign"),
            "+same.com-:same.com:89:89:" + home() + "/domains/same.com:-::\n.\n");
  EXPECT_EQ(qmail("control/rcpthosts"), "same.com\n");
  EXPECT_EQ(qmail("control/virtualdomains"), "same.com:same.com\n");
}

TEST_F(TesseraDomainTest, EveryChangingCommandLeavesOneAuditLine) {
  write_file(home() + "/etc/tlimits.default", "# no limits\n");
  // Each says what it did in one line on stdout (OUT; init's lines are
  // its own test's), options standing anywhere among the words.
  struct Case {
    std::vector<std::string> words;
    std::string input;
    std::string line;  // COMMAND, OBJECT, RESULT; "" for none
    const char* out;
  } cases[] = {
      {{"init"}, "", "init\tHOME\tok", nullptr},
      {{"domain", "add", "Ex.test"}, "", "domain add\tex.test\tok", "ex.test: domain created\n"},
      {{"domain", "alias", "al.test", "ex.test"}, "", "domain alias\tal.test\tok",
       "al.test: alias domain of ex.test created\n"},
      {{"limits", "set", "ex.test", "-"}, "maxpopaccounts: 3\n", "limits set\tex.test\tok",
       "ex.test: limits set\n"},
      {{"limits", "del", "EX.test"}, "", "limits del\tex.test\tok", "ex.test: limits removed\n"},
      {{"user", "add", "al@ex.test", "-"}, "pw\n", "user add\tal@ex.test\tok",
       "al@ex.test: mailbox created\n"},
      {{"user", "passwd", "al@ex.test", "-"}, "pw2\n", "user passwd\tal@ex.test\tok",
       "al@ex.test: password changed\n"},
      {{"user", "quota", "al@ex.test", "1MB"}, "", "user quota\tal@ex.test\tok",
       "al@ex.test: quota set to 1048576S\n"},
      {{"user", "quota", "al@ex.test", "lots"}, "", "user quota\tal@ex.test\texit 1", ""},
      {{"user", "import", "-"}, "bo@ex.test,pw\n", "user import\tbo@ex.test\tok",
       "1 created, 0 failed\n"},
      {{"user", "del", "al@ex.test"}, "", "user del\tal@ex.test\tok", "al@ex.test: mailbox removed\n"},
      {{"--repair", "check"}, "", "check --repair\t-\tok", "store consistent\n"},
      {{"domain", "del", "ex.test"}, "", "domain del\tex.test\tok", "ex.test: domain removed\n"},
      {{"domain", "del", "ex.test"}, "", "domain del\tex.test\texit 1", ""},
      // What only shows, or only tries, leaves none.
      {{"check"}, "", "", "store consistent\n"},
      {{"domain", "list"}, "", "", ""},
      {{"user", "--dry-run", "import", "-"}, "cy@ex.test,pw\n", "", "0 would be created, 1 failed\n"},
  };
  size_t count = 0;
  for (const Case& c : cases) {
    RunResult r = tessera(c.words, c.input);
    std::vector<std::string> lines = audit_lines();
    std::string line = c.line;
    if (line.find("HOME") != std::string::npos) line.replace(line.find("HOME"), 4, home());
    count += line.empty() ? 0 : 1;
    ASSERT_EQ(lines.size(), count) << c.words[0] << " " << c.words.back() << ": " << r.err;
    if (c.out) {
      EXPECT_EQ(r.out, c.out) << c.words[0] << " " << c.words.back();
    }
    if (!line.empty()) {
      EXPECT_EQ(lines.back(), line) << r.err;
    }
  }
  // A line that cannot be written is said on stderr; the command stands.
  std::string log = home() + "/etc/larkspur.log";
  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_EQ(mkdir(log.c_str(), 0700), 0);
  RunResult r = tessera({"domain", "add", "z.test"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, std::string("tessera: ") + kAuditNotWritten + "\n");
  EXPECT_TRUE(file_exists(home() + "/domains/z.test"));
  RunResult refused = tessera({"domain", "add", "z.test"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, std::string("Domain already exists\ntessera: ") + kAuditNotWritten + "\n");
}

// A qmail tool that fails, is missing or is killed: reported, the domain
// stays as written, and the store check compiles it once the tool works.
TEST_F(TesseraDomainTest, AFailedQmailToolIsReportedAndTheCheckFinishesItsWork) {
  const std::string newu = box.path("/var/qmail/bin/qmail-newu");
  const std::string saved = box.root() + "/qmail-newu.saved";
  ok({"domain", "add", "first.test"});
  ASSERT_EQ(rename(newu.c_str(), saved.c_str()), 0);
  struct Case {
    const char* stand_in;  // the script in qmail-newu's place; none: missing
    const char* status;
  } cases[] = {{"#!/bin/sh\nexit 1\n", "1"}, {nullptr, "127"}, {"#!/bin/sh\nkill -9 $$\n", "137"}};
  int n = 0;
  for (const Case& c : cases) {
    std::string name = "n" + std::to_string(++n) + ".test";
    unlink(newu.c_str());
    if (c.stand_in) {
      write_file(newu, c.stand_in);
      ASSERT_EQ(chmod(newu.c_str(), 0755), 0);
    }
    std::string failed = std::string("qmail-newu failed: exit ") + c.status + "\n";
    RunResult add = tessera({"domain", "add", name});
    EXPECT_EQ(add.status, 1) << c.status;
    EXPECT_EQ(add.err, failed + "Could not update file\n");
    EXPECT_TRUE(file_exists(home() + "/domains/" + name + "/.qmail-default")) << c.status;
    EXPECT_NE(qmail("users/assign").find("+" + name + "-:"), std::string::npos) << c.status;
    const std::string finding =
        box.path("/var/qmail/users/cdb") + ": " + name + " is in users/assign but not compiled";
    RunResult stuck = tessera({"check", "--repair"});
    EXPECT_EQ(stuck.status, 1);
    // A tool that is not there is no repair's work: a person installs it.
    EXPECT_EQ(stuck.out, (c.stand_in ? "" : newu + ": is missing or not executable: needs a person\n") +
                             finding + ": not repaired\n");
    EXPECT_EQ(stuck.err.substr(0, failed.size()), failed);

    ASSERT_EQ(system(("cp " + saved + " " + newu).c_str()), 0);
    RunResult mended = tessera({"check", "--repair"});
    EXPECT_EQ(mended.status, 0) << mended.err;
    EXPECT_EQ(mended.out, finding + ": repaired\nstore consistent\n");
    EXPECT_EQ(tessera({"domain", "show", name}).status, 0);
  }
  // A removal reports it too, and is done all the same.
  write_file(newu, "#!/bin/sh\nexit 3\n");
  RunResult del = tessera({"domain", "del", "n1.test"});
  EXPECT_EQ(del.status, 1);
  EXPECT_EQ(del.err, "qmail-newu failed: exit 3\nCould not update file\n");
  EXPECT_EQ(qmail("users/assign").find("+n1.test-:"), std::string::npos);
}

}  // namespace

// tessera check [--repair] end to end: each planted fault gives its exact
// lines, --repair mends what it may and names what needs a person, and the
// status says whether the store is consistent afterwards.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "tests/tessera_cli.h"

namespace {

// A process id that no process has (beyond the kernel's highest).
const std::string kDeadPid = "4194305";

// One planted store per case; the cases of a table make their own.
class TesseraCheck : public TesseraSandboxTest {
 public:
  using TesseraSandboxTest::box;
  using TesseraSandboxTest::ok;
  using TesseraSandboxTest::tessera;
  using TesseraSandboxTest::tessera_json;
  void TestBody() override {}
  void SetUp() override {
    dir = add_domain("a.test");
    ok({"user", "add", "joe@a.test", "secret"});
    ok({"user", "add", "ann@a.test", "secret"});
    ok({"domain", "alias", "b.test", "a.test"});
  }
  std::string control(const std::string& name) { return box.path("/var/qmail/control/") + name; }
  std::string domains() { return box.path("/usr/local/tessera/domains"); }
  // A file's text with one line taken out.
  void drop_line(const std::string& path, const std::string& line) {
    std::string text;
    for (const std::string& l : lines_of(read_file(path))) {
      if (l != line) text += l + "\n";
    }
    write_file(path, text);
  }
  // A mailbox of a.test named as a killed writer's pending one would be
  // (made before such names were refused): ann's, copied, with its line.
  void live_mailbox(const std::string& name) {
    ASSERT_EQ(system(("cp -a " + dir + "/ann " + dir + "/" + name).c_str()), 0);
    std::string text = read_file(dir + "/tpasswd");
    std::string ann = lines_of(text)[0];
    ann.replace(ann.find("/ann:"), 5, "/" + name + ":");
    write_file(dir + "/tpasswd", name + ann.substr(3) + "\n" + text);
    std::string count = read_file(dir + "/.dir-control");
    write_file(dir + "/.dir-control", "3" + count.substr(count.find('\n')));
    ok({"user", "passwd", "ann@a.test", "secret"});  // rebuilds the index
  }
  // Such a domain: evil.test made, then renamed throughout.
  void live_domain(const std::string& name) {
    ok({"domain", "add", "evil.test"});
    std::string qmail = box.path("/var/qmail");
    ASSERT_EQ(system(("sed -i 's/evil\\.test/" + name + "/g' " + qmail + "/users/assign " + qmail +
                      "/control/rcpthosts " + qmail + "/control/virtualdomains && mv " +
                      domains() + "/evil.test " + domains() + "/" + name + " && " + qmail +
                      "/bin/qmail-newu")
                         .c_str()),
              0);
  }
  std::string dir;
};

struct PlantedFault {
  const char* name;
  std::function<void(TesseraCheck&)> plant;
  // The lines check prints, "R" standing for the sandbox root and "D" for
  // a.test's directory; with --repair each gains its outcome.
  std::vector<std::string> lines;
  std::vector<std::string> outcomes;
};

std::string expand(std::string line, const std::string& root, const std::string& dir) {
  if (line.starts_with("R/")) line = root + line.substr(1);
  if (line.starts_with("D/") || line.starts_with("D:")) line = dir + line.substr(1);
  // A path named inside the problem's text.
  for (size_t at; (at = line.find(" R/")) != std::string::npos;) line.replace(at + 1, 1, root);
  return line;
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path; }

void mv(const std::string& from, const std::string& to) {
  ASSERT_EQ(rename(from.c_str(), to.c_str()), 0) << from;
}

const std::string kControl8 = "5\n0\n3\n0 0 0\n61 61 61\n0 2 4\n0 0 0\n\n";

const std::vector<PlantedFault>& planted_faults() {
  static const std::vector<PlantedFault> faults = {
      {"nothing planted", [](TesseraCheck&) {}, {}, {}},
      {"a virtual-domain line without its entry",
       [](TesseraCheck& t) {
         write_file(t.control("virtualdomains"),
                    read_file(t.control("virtualdomains")) + "zz.test:zz.test\n");
       },
       {"R/var/qmail/control/virtualdomains: zz.test:zz.test names no assigned domain"},
       {"repaired"}},
      {"an assigned name missing from rcpthosts",
       [](TesseraCheck& t) { t.drop_line(t.control("rcpthosts"), "b.test"); },
       {"R/var/qmail/control/rcpthosts: b.test is assigned but in neither rcpthosts nor "
        "morercpthosts"},
       {"repaired"}},
      {"an assigned name missing from virtualdomains",
       [](TesseraCheck& t) { t.drop_line(t.control("virtualdomains"), "a.test:a.test"); },
       {"R/var/qmail/control/virtualdomains: a.test is assigned but has no line a.test:a.test"},
       {"repaired"}},
      {"users/cdb older than users/assign, its entries agreeing",
       [](TesseraCheck& t) { set_mtime(t.box.path("/var/qmail/users/cdb"), time(nullptr) - 120); },
       {"R/var/qmail/users/cdb: is older than users/assign"},
       {"repaired"}},
      {"a mailbox and a domain named as killed writers' pending ones",
       [](TesseraCheck& t) {
         t.live_mailbox(".keep." + kDeadPid);
         t.live_domain(".evil." + kDeadPid);
         EXPECT_EQ(t.tessera({"user", "show", ".keep." + kDeadPid + "@a.test"}).status, 0);
       },
       {}, {}},
      {"a line without its mailbox, a live mailbox at its pending name",
       [](TesseraCheck& t) {
         t.live_mailbox(".joe." + kDeadPid);
         ASSERT_EQ(system(("rm -r " + t.dir + "/joe").c_str()), 0);
       },
       {"D/joe: mailbox of joe@a.test is missing"},
       {"needs a person"}},
      {"users/cdb gone",
       [](TesseraCheck& t) { unlink(t.box.path("/var/qmail/users/cdb").c_str()); },
       {"R/var/qmail/users/cdb: cannot be read"},
       {"repaired"}},
      {"users/cdb older than users/assign",
       [](TesseraCheck& t) {
         std::string cdb = t.box.path("/var/qmail/users/cdb");
         std::string old = read_file(cdb);
         t.ok({"domain", "del", "b.test"});
         write_file(cdb, old);
       },
       {"R/var/qmail/users/cdb: b.test is compiled but not in users/assign"},
       {"repaired"}},
      {"morercpthosts.cdb left without morercpthosts",
       [](TesseraCheck& t) { write_file(t.control("morercpthosts.cdb"), std::string(2048, '\0')); },
       {"R/var/qmail/control/morercpthosts.cdb: is left without morercpthosts"},
       {"repaired"}},
      {"tpasswd.cdb gone", [](TesseraCheck& t) { unlink((t.dir + "/tpasswd.cdb").c_str()); },
       {"D/tpasswd.cdb: is missing or unreadable"},
       {"repaired"}},
      {"tpasswd out of order",
       [](TesseraCheck& t) {
         std::vector<std::string> lines = lines_of(read_file(t.dir + "/tpasswd"));
         write_file(t.dir + "/tpasswd", lines[1] + "\n" + lines[0] + "\n");
       },
       {"D/tpasswd: line 2: ann is out of order", "D/tpasswd.cdb: does not agree with tpasswd"},
       {"repaired", "repaired"}},
      {"a name twice in tpasswd",
       [](TesseraCheck& t) {
         std::string text = read_file(t.dir + "/tpasswd");
         write_file(t.dir + "/tpasswd", text + lines_of(text)[1] + "\n");
       },
       {"D/tpasswd: line 3: joe appears again", "D/tpasswd.cdb: does not agree with tpasswd"},
       {"needs a person", "repaired"}},
      {"a line that does not parse",
       [](TesseraCheck& t) {
         write_file(t.dir + "/tpasswd", read_file(t.dir + "/tpasswd") + "garbage\n");
       },
       {"D/tpasswd: line 3 does not parse"},
       {"needs a person"}},
      {"a line without its mailbox",
       [](TesseraCheck& t) { ASSERT_EQ(system(("rm -r " + t.dir + "/joe").c_str()), 0); },
       {"D/joe: mailbox of joe@a.test is missing"},
       {"needs a person"}},
      {"a line whose mailbox a killed writer left at its pending name",
       [](TesseraCheck& t) { mv(t.dir + "/joe", t.dir + "/.joe." + kDeadPid); },
       {"D/joe: mailbox of joe@a.test is missing; a killed writer left it at .joe." + kDeadPid},
       {"repaired"}},
      {"a mailbox without its line", [](TesseraCheck& t) { make_dir(t.dir + "/stray"); },
       {"D/stray: mailbox directory named by no password line"},
       {"needs a person"}},
      {"a killed writer's pending mailbox that no line names",
       [](TesseraCheck& t) { make_dir(t.dir + "/.zed." + kDeadPid); },
       {"D/.zed." + kDeadPid + ": leftover of a killed writer"},
       {"repaired"}},
      {"a live writer's pending mailbox",
       [](TesseraCheck& t) { make_dir(t.dir + "/.zed." + std::to_string(getpid())); }, {}, {}},
      {"a killed writer's copy of tpasswd",
       [](TesseraCheck& t) { write_file(t.dir + "/tpasswd.bak." + kDeadPid, "x\n"); },
       {"D/tpasswd.bak." + kDeadPid + ": leftover of a killed writer"},
       {"repaired"}},
      {"an index's temporary file older than a minute",
       [](TesseraCheck& t) {
         write_file(t.dir + "/cdb.tmp", "x");
         set_mtime(t.dir + "/cdb.tmp", time(nullptr) - 120);
       },
       {"D/cdb.tmp: leftover of a killed writer"},
       {"repaired"}},
      {"an index's temporary file of a rebuild under way",
       [](TesseraCheck& t) { write_file(t.dir + "/cdb.tmp", "x"); }, {}, {}},
      {"a mailbox count that does not agree",
       [](TesseraCheck& t) { write_file(t.dir + "/.dir-control", kControl8); },
       {"D/.dir-control: entry count 5, but the domain has 2 mailboxes"},
       {"repaired"}},
      {"a domain count that does not agree",
       [](TesseraCheck& t) { write_file(t.domains() + "/.dir-control", kControl8); },
       {"R/usr/local/tessera/domains/.dir-control: entry count 5, but the store has 1 domains"},
       {"repaired"}},
      {"a domain directory gone",
       [](TesseraCheck& t) { ASSERT_EQ(system(("rm -r " + t.dir).c_str()), 0); },
       {"D: directory of a.test is missing"},
       {"needs a person"}},
      {"a domain directory a killed writer left at its pending name",
       [](TesseraCheck& t) { mv(t.dir, t.domains() + "/.a.test." + kDeadPid); },
       {"D: directory of a.test is missing; a killed writer left it at .a.test." + kDeadPid},
       {"repaired"}},
      {"a domain directory that no entry names",
       [](TesseraCheck& t) { make_dir(t.domains() + "/orphan.test"); },
       {"R/usr/local/tessera/domains/orphan.test: domain directory named by no entry of "
        "users/assign"},
       {"needs a person"}},
      {"a killed writer's pending domain that no entry names",
       [](TesseraCheck& t) { make_dir(t.domains() + "/.new.test." + kDeadPid); },
       {"R/usr/local/tessera/domains/.new.test." + kDeadPid + ": leftover of a killed writer"},
       {"repaired"}},
      {"the free-directory list moved aside by a killed writer",
       [](TesseraCheck& t) { write_file(t.dir + "/.dir_control_free.bak", "0\n"); },
       {"D/.dir_control_free.bak: holds the free-directory list, which is missing"},
       {"repaired"}},
      // qmail's tools: no compile could happen, and only a person installs them.
      {"qmail-newmrh not executable",
       [](TesseraCheck& t) { chmod(t.box.path("/var/qmail/bin/qmail-newmrh").c_str(), 0644); },
       {"R/var/qmail/bin/qmail-newmrh: is missing or not executable"},
       {"needs a person"}},
      {"qmail-newu missing",
       [](TesseraCheck& t) { unlink(t.box.path("/var/qmail/bin/qmail-newu").c_str()); },
       {"R/var/qmail/bin/qmail-newu: is missing or not executable"},
       {"needs a person"}},
      {"the delivery program a .qmail-default names missing",
       [](TesseraCheck& t) { unlink(t.box.path("/usr/local/tessera/bin/tdelivermail").c_str()); },
       {"D/.qmail-default: names R/usr/local/tessera/bin/tdelivermail, which is missing or not "
        "executable"},
       {"needs a person"}},
      {"killed writers' copies of qmail's tables",
       [](TesseraCheck& t) {
         write_file(t.control(".larkspur." + kDeadPid), "x\n");
         write_file(t.control("rcpthosts." + kDeadPid), "x\n");
         write_file(t.box.path("/var/qmail/users/assign." + kDeadPid), "x\n");
       },
       {"R/var/qmail/control/.larkspur." + kDeadPid + ": leftover of a killed writer",
        "R/var/qmail/control/rcpthosts." + kDeadPid + ": leftover of a killed writer",
        "R/var/qmail/users/assign." + kDeadPid + ": leftover of a killed writer"},
       {"repaired", "repaired", "repaired"}},
      {"an alias and the catch-all delivering into missing mailboxes",
       [](TesseraCheck& t) {
         write_file(t.dir + "/.qmail-sales", "&joe@a.test\n" + t.dir + "/gone/Maildir/\n" +
                                                 t.dir + "/joe/Maildir/\n");
         t.ok({"alias", "add", "info@a.test", "joe@a.test"});
         t.ok({"domain", "catchall", "a.test", "ann"});
         std::string line = read_file(t.dir + "/.qmail-default");
         write_file(t.dir + "/.qmail-default", line.replace(line.rfind("/ann"), 4, "/old"));
       },
       {"D/.qmail-default: names the mailbox R/usr/local/tessera/domains/a.test/old, which is "
        "missing",
        "D/.qmail-sales: names the mailbox R/usr/local/tessera/domains/a.test/gone, which is "
        "missing"},
       {"needs a person", "needs a person"}},
      {"a killed writer's copy of a dot-qmail file",
       [](TesseraCheck& t) { write_file(t.dir + "/.dot-qmail." + kDeadPid, "&x@y.test\n"); },
       {"D/.dot-qmail." + kDeadPid + ": leftover of a killed writer"},
       {"repaired"}},
  };
  return faults;
}

bool all_repaired(const PlantedFault& fault) {
  for (const std::string& outcome : fault.outcomes) {
    if (outcome != "repaired") return false;
  }
  return true;
}

// The findings, and "store consistent" when the store ends so.
std::string expected_output(const PlantedFault& fault, const std::string& root,
                            const std::string& dir, bool repair) {
  std::string out;
  for (size_t i = 0; i < fault.lines.size(); ++i) {
    out += expand(fault.lines[i], root, dir);
    if (repair) out += ": " + fault.outcomes[i];
    out += "\n";
  }
  if (repair ? all_repaired(fault) : fault.lines.empty()) out += "store consistent\n";
  return out;
}

TEST(TesseraCheckFaults, EachPlantedFaultGivesItsLinesAndRepairMendsWhatItMay) {
  // One store, put back from a copy before each case (same root, so the
  // paths in its files stay true).
  TesseraCheck t;
  t.SetUp();
  const std::string root = t.box.root();
  const std::string copy = root + ".copy";
  ASSERT_EQ(system(("cp -a " + root + " " + copy).c_str()), 0);
  for (const PlantedFault& fault : planted_faults()) {
    SCOPED_TRACE(fault.name);
    ASSERT_EQ(system(("rm -rf " + root + " && cp -a " + copy + " " + root).c_str()), 0);
    fault.plant(t);
    RunResult found = t.tessera({"check"});
    EXPECT_EQ(found.out, expected_output(fault, root, t.dir, false));
    EXPECT_EQ(found.status, fault.lines.empty() ? 0 : 1);
    RunResult repaired = t.tessera({"check", "--repair"});
    EXPECT_EQ(repaired.out, expected_output(fault, root, t.dir, true));
    int consistent = all_repaired(fault) ? 0 : 1;
    EXPECT_EQ(repaired.status, consistent);
    RunResult again = t.tessera({"check"});
    EXPECT_EQ(again.status, consistent) << again.out;
    if (consistent == 0) {
      EXPECT_EQ(again.out, "store consistent\n");
      // What the repair kept works.
      EXPECT_EQ(t.tessera({"user", "show", "joe@a.test"}).status, 0);
      EXPECT_EQ(t.tessera({"user", "show", "ann@a.test"}).status, 0);
    }
  }
  ASSERT_EQ(system(("rm -rf " + copy).c_str()), 0);
}

TEST(TesseraCheckFaults, RepairedMailboxAndDomainComeBackWhole) {
  TesseraCheck t;
  t.SetUp();
  mv(t.dir, t.domains() + "/.a.test." + kDeadPid);
  t.tessera({"check", "--repair"});
  EXPECT_EQ(t.tessera({"check"}).status, 0);
  EXPECT_TRUE(file_exists(t.dir + "/joe/Maildir/new"));
  t.ok({"user", "add", "kim@a.test", "secret"});
  EXPECT_EQ(t.tessera({"check"}).out, "store consistent\n");
}

TEST(TesseraCheckFaults, JsonNamesEachFindingAndTheOutcome) {
  TesseraCheck t;
  t.SetUp();
  make_dir(t.dir + "/stray");
  unlink((t.dir + "/tpasswd.cdb").c_str());
  RunResult r = t.tessera_json({"check", "--repair"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{\"findings\":[{\"path\":\"" + t.dir +
                       "/tpasswd.cdb\",\"problem\":\"is missing or unreadable\",\"repair\":"
                       "\"repaired\"},{\"path\":\"" + t.dir +
                       "/stray\",\"problem\":\"mailbox directory named by no password line\","
                       "\"repair\":\"needs a person\"}],\"consistent\":false}\n");
  RunResult plain = t.tessera_json({"check"});
  EXPECT_EQ(plain.out, "{\"findings\":[{\"path\":\"" + t.dir +
                           "/stray\",\"problem\":\"mailbox directory named by no password "
                           "line\",\"repair\":null}],\"consistent\":false}\n");
}

TEST(TesseraCheckFaults, OtherWordsAreUsage) {
  TesseraCheck t;
  t.SetUp();
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"check", "--fix"}, {"check", "--repair", "--repair"}}) {
    RunResult r = t.tessera(words);
    EXPECT_EQ(r.status, 2) << words.back();
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace

#include "accounts/passwd.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "base/address.h"
#include "base/error.h"
#include "base/site.h"
#include "domains/assign.h"
#include "domains/domain.h"
#include "tests/testlib/testlib.h"

namespace {

namespace fs = std::filesystem;

// Runs body in a child process and returns its exit status.
int in_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The lines of a password file as the index should hold them: key, value.
CdbPairs pairs_of(const std::string& text) {
  CdbPairs pairs;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) {
    pairs.emplace_back(l.substr(0, l.find(':')), l.substr(l.find(':') + 1));
  }
  return pairs;
}

std::vector<std::string> keys_of(const std::string& text) {
  std::vector<std::string> keys;
  for (const auto& pair : pairs_of(text)) keys.push_back(pair.first);
  return keys;
}

class PasswdFile : public testing::Test {
 protected:
  void SetUp() override {
    site_set_root(box_.root());
    unsetenv("TESSERA_DOMAIN");
    std::string name = "example.com";
    ASSERT_EQ(create_domain(DomainName(name), tessera_home(), kStoreUid, kStoreGid), 0);
    umask(022);  // as a page's change runs under the web server
    ASSERT_NE(tget_assign(DomainName(name), &dir_, 300, nullptr, nullptr), nullptr);
  }
  void TearDown() override { site_set_root(""); }

  int add(const std::string& user, std::string gecos = "", const std::string& subdir = "",
          const std::string& password = "secret") {
    return passwd_add(user, domain_, password, gecos, subdir);
  }
  std::optional<password_record> get(const std::string& user,
                                      const std::string& domain = "example.com") {
    return passwd_find(user, DomainName(domain));
  }
  std::string text() const { return read_file(dir_ + "/tpasswd"); }
  // tpasswd as written by hand, and indexed.
  void hand_made(const std::string& content) {
    write_file(dir_ + "/tpasswd", content);
    ASSERT_EQ(passwd_rebuild(domain_), 0);
  }

  Sandbox box_;
  const DomainName domain_{"example.com"};
  std::string dir_;
};

TEST_F(PasswdFile, AddKeepsNameOrderAndTheLineFormatWithoutColons) {
  // A stale copy of this pid, wide open: the new copy is private all the same.
  std::string stale = dir_ + "/tpasswd.bak." + std::to_string(getpid());
  write_file(stale, "stale");
  chmod(stale.c_str(), 0666);
  std::pair<const char*, const char*> adds[] = {{"bob", "A:B"}, {"alice", ""}, {"carol", "A::B:"}};
  for (auto [user, gecos] : adds) {
    ASSERT_EQ(add(user, gecos, "0"), 0);
    EXPECT_EQ(fs::status(dir_ + "/tpasswd").permissions(), fs::perms(0600)) << user;
  }
  EXPECT_EQ(keys_of(text()), (std::vector<std::string>{"alice", "bob", "carol"}));
  EXPECT_EQ(get("bob")->gecos + get("carol")->gecos, "ABAB");
  std::string line = text().substr(0, text().find('\n'));
  EXPECT_EQ(line.substr(0, 9), "alice:$6$");
  EXPECT_EQ(line.substr(line.find(":1:0:")), ":1:0:alice:" + dir_ + "/0/alice:NOQUOTA");
  EXPECT_EQ(add("dave", "", "", ""), 0);
  EXPECT_EQ(text().substr(text().find("dave:")), "dave::1:0:dave:" + dir_ + "/dave:NOQUOTA\n");
  for (const char* file : {"/tpasswd", "/tpasswd.cdb", "/.tpasswd.lock"}) {
    struct stat st {};
    ASSERT_EQ(stat((dir_ + file).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kStoreUid) << file;
    EXPECT_EQ(st.st_gid, kStoreGid) << file;
  }
  EXPECT_FALSE(file_exists(stale));
}

TEST_F(PasswdFile, LookupsFindTheLineThroughAnyNameOfTheDomain) {
  ASSERT_EQ(add("bob", "Bob B"), 0);
  std::string alias = "alias.org", real = "example.com";
  ASSERT_EQ(create_alias_domain(DomainName(alias), DomainName(real)), 0);
  struct Case {
    const char *user, *domain;
    bool found;
  } cases[] = {{"Bob", "EXAMPLE.COM", true},     {"bob", "alias.org", true},
               {"BOB", "Alias.Org", true},       {"nobody", "example.com", false},
               {"bob", "nowhere.org", false},    {"bob", "", false}};
  for (const Case& c : cases) {
    last_error = -5;
    // The names as an edge hands them on: lower-cased, the alias resolved.
    const Mailbox box(c.user, DomainName(c.domain));
    const std::string& user = box.user;
    std::optional<password_record> record = passwd_find(user, box.domain);
    std::string domain = box.domain;
    if (std::optional<DomainHome> home = find_domain_home(box.domain)) domain = home->domain;
    EXPECT_EQ(record.has_value(), c.found) << c.user << "@" << c.domain;
    EXPECT_EQ(last_error, 0);
    if (!record) continue;
    EXPECT_EQ(domain, "example.com");
    EXPECT_EQ(std::tie(record->name, record->uid, record->gid, record->gecos, record->quota),
              std::make_tuple(user, 1, 0, "Bob B", "NOQUOTA"));
  }
}

TEST_F(PasswdFile, ListingStopsAtAShortLineWhileLookupsGoOn) {
  std::string al = "al:x:1:0:A:/d/al:NOQUOTA\n", cy = "cy:x:1:2:C:/d/cy:5S:clear\n";
  hand_made(al + "broken:line\n" + cy + "dee:x:1:0:D:/d/dee:NOQUOTA");
  const DomainName& domain = domain_;
  PasswdListing first(domain);
  ASSERT_NE(first.next(), nullptr);
  EXPECT_EQ(first.next(), nullptr);
  ASSERT_NE(get("cy"), std::nullopt);
  EXPECT_EQ(get("cy")->clear_password, "clear");
  EXPECT_EQ(get("dee"), std::nullopt);  // its line has no end yet

  hand_made(al + cy + "dee:x:1:0:D:/d/dee:NOQUOTA");
  std::vector<std::string> listed;
  PasswdListing listing(domain);
  for (const password_record* r = listing.next(); r; r = listing.next()) {
    ASSERT_NE(get("al"), std::nullopt);  // a lookup in between leaves the listed record
    listed.push_back(r->name + "|" + r->quota + "|" + r->clear_password);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"al|NOQUOTA|", "cy|5S|", "dee|NOQUOTA|"}));
}

TEST_F(PasswdFile, UpdateWritesSevenFieldsAndDropsTheEighth) {
  hand_made("cy:x:1:2:C:/d/cy:5S:clear\n");
  password_record record = *get("cy");
  record.gecos = "C:D";
  ASSERT_EQ(passwd_update(record, domain_), 0);
  EXPECT_EQ(text(), "cy:x:1:2:CD:/d/cy:5S\n");
  record.name = "zed";  // no line: nothing changes
  EXPECT_EQ(passwd_update(record, domain_), 0);
  EXPECT_EQ(text(), "cy:x:1:2:CD:/d/cy:5S\n");
  EXPECT_EQ(passwd_set_quota("cy", domain_, "100S"), 0);
  EXPECT_EQ(get("cy")->quota, "100S");
  EXPECT_EQ(passwd_set_quota("zed", domain_, "100S"), -10);
}

TEST(PasswdCheck, AppliesTheFieldLimitsInOrder) {
  // Each case passes one limit by a byte, and the next checked field too.
  DomainName domain(std::string(96, 'd')), longer(std::string(97, 'd'));
  struct Case {
    std::function<void(password_record&)> change;
    const DomainName* domain;
    int result;
  } cases[] = {{[](auto&) {}, &domain, 0},
               {[](auto& r) { r.name = std::string(33, 'n'), r.gecos += "g"; }, &domain, -25},
               {[](auto& r) { r.name = "a"; }, &domain, -1},
               {[](auto& r) { r.password += "p"; }, &longer, -26},
               {[](auto& r) { r.password += "p", r.gecos += "g"; }, &domain, -27},
               {[](auto& r) { r.gecos += "g", r.dir += "d"; }, &domain, -28},
               {[](auto& r) { r.dir += "d", r.quota += "q"; }, &domain, -30},
               {[](auto& r) { r.quota += "q"; }, &domain, -29},
               {[](auto&) {}, nullptr, -33}};
  for (const Case& c : cases) {
    password_record r{"ab", std::string(128, 'p'), 1, 0, 0, std::string(48, 'g'),
                      std::string(160, 'd'), std::string(20, 'q'), ""};
    c.change(r);
    EXPECT_EQ(passwd_check(&r, c.domain), c.result);
  }
  EXPECT_EQ(passwd_check(nullptr, &domain), -33);
}

TEST_F(PasswdFile, LongLinesSurviveRewriteAndRepairedIndex) {
  std::string name(32, 'n');
  ASSERT_EQ(add(name), 0);
  password_record record = *get(name);
  record.gecos = std::string(48, 'g');
  record.dir = "/" + std::string(159, 'd');
  record.quota = "12345678901234567S,C";
  ASSERT_EQ(passwd_update(record, domain_), 0);
  ASSERT_EQ(add("zz"), 0);  // a further rewrite carries the long line
  std::string line = text().substr(0, text().find('\n'));
  EXPECT_GE(line.size(), 300u);
  ASSERT_EQ(unlink((dir_ + "/tpasswd.cdb").c_str()), 0);  // the lookup rebuilds it
  std::optional<password_record> found = get(name);
  ASSERT_NE(found, std::nullopt);
  EXPECT_EQ(std::tie(found->password, found->gecos, found->dir, found->quota),
            std::tie(record.password, record.gecos, record.dir, record.quota));
  // The repaired index, read by an independent reader: each line whole.
  ASSERT_FALSE(tinycdb().empty()) << "tinycdb's cdb tool is needed";
  EXPECT_EQ(run_tinycdb({"-d", dir_ + "/tpasswd.cdb"}).out, tinycdb_records(pairs_of(text())));
}

TEST_F(PasswdFile, EffectiveUidDecidesWhoMayUseTheFile) {
  ASSERT_EQ(add("bob"), 0);
  // Everyone may read the sandbox: only the rule itself stands in the way.
  auto open_up = [](const fs::path& path) {
    fs::permissions(path, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  };
  open_up(box_.root());
  for (const auto& entry : fs::recursive_directory_iterator(box_.root())) open_up(entry.path());
  struct Case {
    uid_t euid;
    int status;  // 1 when the lookup found bob, plus twice the update's -code
  } cases[] = {{kStoreUid, 1}, {12345, 2 * 22}};
  for (const Case& c : cases) {
    int status = in_child([&] {
      password_record record = *get("bob");
      if (setgroups(0, nullptr) != 0 || setegid(c.euid) != 0 || seteuid(c.euid) != 0) return 99;
      int found = get("bob").has_value() ? 1 : 0;
      return found + 2 * -passwd_update(record, domain_);
    });
    EXPECT_EQ(status, c.status) << c.euid;
  }
}

TEST_F(PasswdFile, AddsThatFailChangeNothing) {
  ASSERT_EQ(add("bob"), 0);
  std::string before = text();
  std::set<std::string> files = names_in(dir_);
  auto unwritable = [&] {  // the copy cannot be written out whole
    return -in_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{before.size(), before.size()};
      setrlimit(RLIMIT_FSIZE, &limit);
      return -add("carol");
    });
  };
  struct Case {
    std::function<int()> add;
    int result;
  } cases[] = {{[&] { return add("tpasswd"); }, -1},
               {[&] { return add(""); }, -1},
               {[&] { return add("a:b"); }, -1},
               {[&] { return add("eve", "A\nB"); }, -1},
               {[&] { return add("bob"); }, -2},  // found again under the lock
               {[&] { return add("eve", "", "", std::string(700, 'p')); }, -18},
               {unwritable, -1}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.add(), c.result);
    EXPECT_EQ(text(), before);
    EXPECT_EQ(names_in(dir_), files);
  }
  // A rename that fails: tpasswd is immutable.
  int fd = open((dir_ + "/tpasswd").c_str(), O_RDONLY);
  int flags = FS_IMMUTABLE_FL;
  if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
    close(fd);
    GTEST_SKIP() << "no immutable files here";
  }
  int result = add("carol");
  flags = 0;
  ioctl(fd, FS_IOC_SETFLAGS, &flags);
  close(fd);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(text(), before);
  EXPECT_EQ(names_in(dir_), files);
}

TEST_F(PasswdFile, OneOfManyConcurrentAddsOfANameWins) {
  std::vector<pid_t> children(4);
  for (pid_t& pid : children) {
    if ((pid = fork()) == 0) _exit(-add("same"));
  }
  std::multiset<int> results;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    results.insert(WEXITSTATUS(status));
  }
  EXPECT_EQ(results, (std::multiset<int>{0, 2, 2, 2}));
  EXPECT_EQ(keys_of(text()), std::vector<std::string>{"same"});
}

}  // namespace

namespace {

// Many new lines in one change land where one add at a time would put
// them, in a hand-made file out of order, with every refusal its own.
TEST_F(PasswdFile, ManyLinesGoWhereSingleAddsWouldAndRefuseOnlyTheirOwn) {
  hand_made("carol:x:1:0:Carol:/c:NOQUOTA\nalice:x:1:0:Alice:/a:NOQUOTA\n\nno colon\nzed:x");
  struct Case {
    std::string user, quota;
    int result;
  } cases[] = {
      {"dave", "5000S", 0},
      {"bob", "NOQUOTA", 0},
      {"alice", "NOQUOTA", kErrUsernameExists},  // found after bob went in: made again
      {"bob", "NOQUOTA", kErrUsernameExists},    // given twice: the first wins
      {"tpasswd", "NOQUOTA", kErrIllegalUsername},
      {"a:b", "NOQUOTA", kErrIllegalUsername},
  };
  std::vector<passwd_new_line> lines;
  for (const Case& c : cases) {
    passwd_new_line line;
    line.user = c.user;
    line.clear_password = "";
    line.quota = c.quota;
    lines.push_back(line);
  }
  ASSERT_EQ(passwd_add_many(domain_, lines), 0);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].result, cases[i].result) << cases[i].user;
  }
  EXPECT_EQ(text(), "bob::1:0:bob:" + dir_ + "/bob:NOQUOTA\n"
                    "carol:x:1:0:Carol:/c:NOQUOTA\nalice:x:1:0:Alice:/a:NOQUOTA\n\n"
                    "dave::1:0:dave:" + dir_ + "/dave:5000S\nno colon\nzed:x\n");
  ASSERT_NE(get("dave"), std::nullopt);
  EXPECT_EQ(get("dave")->quota, "5000S");
  EXPECT_NE(get("zed"), std::nullopt);  // the line end it gained makes it indexed
}

// Long lines, lines that straddle the reader's pieces and a file far
// larger than one piece pass a change byte for byte.
TEST_F(PasswdFile, LargeFilesAndLongLinesPassAChangeIntact) {
  std::string content;
  for (int i = 0; i < 6000; ++i) {
    content += "u" + std::to_string(100000 + i) + ":x:1:0:" + std::string(i % 97, 'g') + ":/d:NOQUOTA\n";
  }
  content += "zz:" + std::string(700000, 'L') + "\n";
  hand_made(content);
  ASSERT_EQ(passwd_delete("u100003", domain_), 0);
  std::string expected = content;
  size_t at = expected.find("u100003:");
  expected.erase(at, expected.find('\n', at) + 1 - at);
  EXPECT_EQ(text(), expected);
  EXPECT_EQ(get("u105999")->dir, "/d");
  EXPECT_EQ(get("u100003"), std::nullopt);
}

}  // namespace

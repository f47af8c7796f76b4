// tessera's reports over a domain whose mailboxes carry chosen last-login
// records and maildirsize files: user show's last-login line, the list of
// inactive mailboxes, and domain usage with its recounts.
#include <gtest/gtest.h>

#include "tests/tessera_cli.h"

namespace {

constexpr time_t kDay = 86400;

class TesseraReportTest : public TesseraSandboxTest {
 protected:
  void SetUp() override { dir = add_domain("example.com"); }
  void add(const std::string& user) { ok({"user", "add", user + "@example.com", "pw"}); }
  // A login record: content and modification time; no content: no file.
  void login(const std::string& user, const char* content, time_t when) {
    std::string path = dir + "/" + user + "/lastauth";
    if (!content) {
      unlink(path.c_str());
      return;
    }
    write_file(path, content);
    set_mtime(path, when);
  }
  std::string maildir(const std::string& user) { return dir + "/" + user + "/Maildir/"; }

  std::string dir;
  time_t now = time(nullptr);
};

TEST_F(TesseraReportTest, LastLoginShowsATimeAndClientOrNever) {
  add("ann");
  struct Case {
    const char* content;
    time_t when;
    std::string line;
  };
  const Case cases[] = {
      {"192.0.2.1", 1700000000, "last login: 2023-11-14 22:13:20 UTC from 192.0.2.1"},
      {"2001:db8::1\r\n", 86400, "last login: 1970-01-02 00:00:00 UTC from 2001:db8::1"},
      {"0.0.0.0", 1700000000, "last login: never"},
      {"", 1700000000, "last login: never"},
      {nullptr, 0, "last login: never"},
  };
  for (const Case& c : cases) {
    login("ann", c.content, c.when);
    EXPECT_EQ(lines_of(tessera({"user", "show", "ann@example.com"}).out).at(3), c.line)
        << (c.content ? c.content : "(no file)");
  }
}

TEST_F(TesseraReportTest, InactiveListsNeverUsedThenOldestFirst) {
  for (const char* user : {"ann", "bob", "cat", "dan", "eve", "fay"}) add(user);
  login("ann", "192.0.2.1", now - 100 * kDay);
  login("bob", "192.0.2.2", now - 10 * kDay);
  login("cat", "0.0.0.0", now - 200 * kDay);
  login("dan", nullptr, 0);
  login("eve", "192.0.2.5", now - 40 * kDay);
  login("fay", "192.0.2.6", now - 60);
  auto at = [&](time_t ago, const char* from) {
    return utc_text(now - ago) + " UTC from " + from;
  };
  struct Case {
    const char* days;
    std::string out;
  };
  const Case cases[] = {
      {"30", "cat\tnever\ndan\tnever\nann\t" + at(100 * kDay, "192.0.2.1") + "\neve\t" +
                 at(40 * kDay, "192.0.2.5") + "\n"},
      {"1000", "cat\tnever\ndan\tnever\n"},
      {"0", "cat\tnever\ndan\tnever\nann\t" + at(100 * kDay, "192.0.2.1") + "\neve\t" +
                at(40 * kDay, "192.0.2.5") + "\nbob\t" + at(10 * kDay, "192.0.2.2") + "\nfay\t" +
                at(60, "192.0.2.6") + "\n"},
  };
  for (const Case& c : cases) {
    RunResult r = tessera({"user", "list", "example.com", "--inactive", c.days});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out) << c.days;
  }
  for (const char* bad : {"-1", "ten", "", "1e3"}) {
    EXPECT_EQ(tessera({"user", "list", "example.com", "--inactive", bad}).status, 2) << bad;
  }
}

TEST_F(TesseraReportTest, UsageSumsQuotasAndUseAndNamesFullMailboxes) {
  struct Box {
    const char* user;
    const char* quota;
    const char* maildirsize;  // nullptr: none
    time_t age;               // of maildirsize
    std::vector<std::pair<const char*, size_t>> messages;  // name in new/, size
  };
  const Box boxes[] = {
      // fresh file over 90%: taken as it is
      {"ann", "1000S", "1000S\n950 3\n", 0, {}},
      {"bob", "2000S,10C", "2000S,10C\n100 1\n", 0, {}},
      // no quota: a current file counts, nothing is recounted
      {"cat", "NOQUOTA", "NOQUOTA\n50 2\n", 0, {{"1.m", 400}}},
      // stale file: recounted from the maildir
      {"dan", "1000S", "1000S\n10 1\n", 3600, {{"1.m", 300}, {"2.m,S=500", 0}}},
      // no file: recounted
      {"eve", "100C", nullptr, 0, {{"1.m", 7}, {"2.m", 7}}},
      // over quota in a file of several lines: recounted, not trusted
      {"fay", "100S", "100S\n50 1\n80 1\n", 0, {{"1.m", 30}}},
  };
  for (const Box& b : boxes) {
    add(b.user);
    ASSERT_NO_FATAL_FAILURE(ok({"user", "quota", std::string(b.user) + "@example.com", b.quota}));
    std::string file = maildir(b.user) + "maildirsize";
    unlink(file.c_str());
    for (const auto& [name, size] : b.messages) {
      write_file(maildir(b.user) + "new/" + name, std::string(size, 'x'));
    }
    if (b.maildirsize) {
      write_file(file, b.maildirsize);
      set_mtime(file, now - b.age);
    }
  }
  add("gus");
  ok({"domain", "alias", "alias.example", "example.com"});
  const std::string report =
      "domain: example.com\n"
      "mailboxes: 7 (2 without quota)\n"
      "quota: 4100 bytes, 110 messages\n"
      "used: 1944 bytes, 11 messages\n"
      "over 90%: ann 95%\n";
  RunResult one = tessera({"domain", "usage", "ALIAS.example"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, report);
  EXPECT_EQ(read_file(maildir("dan") + "maildirsize"), "1000S\n800 2\n");
  EXPECT_EQ(read_file(maildir("eve") + "maildirsize"), "100C\n14 2\n");
  EXPECT_EQ(read_file(maildir("fay") + "maildirsize"), "100S\n30 1\n");
  EXPECT_EQ(read_file(maildir("cat") + "maildirsize"), "NOQUOTA\n50 2\n");
  EXPECT_FALSE(file_exists(maildir("gus") + "maildirsize"));

  add_domain("other.example");
  RunResult all = tessera({"domain", "usage"});
  EXPECT_EQ(all.out, report +
                         "\ndomain: other.example\nmailboxes: 0 (0 without quota)\n"
                         "quota: 0 bytes, 0 messages\nused: 0 bytes, 0 messages\n");
}

}  // namespace

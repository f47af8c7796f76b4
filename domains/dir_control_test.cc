#include "domains/dir_control.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/site.h"
#include "domains/assign.h"
#include "tests/testlib/testlib.h"

namespace {

const std::string kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const std::string kDefaults = "3\n0 0 0\n61 61 61\n0 2 4\n0 0 0\n";  // lines 3 to 7
const std::string kFreshFile = "1\n0\n" + kDefaults + "\n";

// A sandbox whose users/cdb knows example.com and its alias alias.org.
struct DomainBox {
  Sandbox box;
  std::string dir = box.path("/usr/local/tessera/domains/example.com");
  std::string domains = box.path("/usr/local/tessera/domains");
  std::string list = dir + "/.dir_control_free";
  std::string control = dir + "/.dir-control";

  DomainBox() {
    site_set_root(box.root());
    write_file(box.path("/var/qmail/users/assign"),
               "+alias.org-:example.com:89:89:" + dir + ":-::\n+example.com-:example.com:89:89:" +
                   dir + ":-::\n.\n");
    run_qmail_newu();
    std::filesystem::create_directories(dir);
  }
};

// Stands in a directory for the lifetime of the guard.
struct WorkingDir {
  std::string saved = std::filesystem::current_path();
  explicit WorkingDir(const std::string& dir) { std::filesystem::current_path(dir); }
  ~WorkingDir() { std::filesystem::current_path(saved); }
};

TEST(DirControlAdvance, WalksEveryPathInOrderThenStartsOverAtTheDeepestLevel) {
  std::vector<std::string> expected;
  for (char a : kAlphabet) expected.push_back({a});
  for (char a : kAlphabet)
    for (char b : kAlphabet) expected.push_back({a, '/', b});
  for (char a : kAlphabet)
    for (char b : kAlphabet)
      for (char c : kAlphabet) expected.push_back({a, '/', b, '/', c});
  expected.push_back("0/0/0");
  expected.push_back("0/0/1");

  DirControl record;
  std::string previous;
  for (const std::string& path : expected) {
    for (int entry = 1; entry < 100; ++entry) dir_control_advance(record);
    ASSERT_EQ(record.path, previous) << "entry " << record.entry_count;
    dir_control_advance(record);
    ASSERT_EQ(record.path, path) << "entry " << record.entry_count;
    previous = record.path;
  }
  EXPECT_EQ(record.level, 2);
}

TEST(DirControlFile, ReadsWhatIsGivenKeepsDefaultsForTheRestAndWritesCanonically) {
  struct Case {
    std::optional<std::string> before;  // none: no control file
    int read;
    std::string after;                  // "": the same as before
  } cases[] = {
      {"12345\n1\n3\n0 0 0\n61 61 61\n0 2 4\n5 7 0\nA/7\n", 0, ""},  // level-2 position kept
      {"7\n2\n9\n1 2 3\n10 20 30\n0 3 6\n4 5 6\nB/C/D\n", 0, ""},
      {"250\n1\n", 0, "250\n1\n" + kDefaults + "\n"},
      {"x\n1\n3\n5\n9 8\n0 2 4\n", 0, "0\n1\n3\n5 0 0\n9 8 61\n0 2 4\n0 0 0\n\n"},
      {"1\n0\n" + kDefaults + std::string(400, 'p') + "\n", 0,
       "1\n0\n" + kDefaults + std::string(299, 'p') + "\n"},
      {std::nullopt, -1, "0\n0\n" + kDefaults + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before.value_or("no file"));
    DomainBox d;
    if (c.before) write_file(d.control, *c.before);
    DirControl record;
    record.entry_count = 99;  // must not survive the read
    EXPECT_EQ(read_dir_control(record, "example.com", 89), c.read);
    EXPECT_EQ(write_dir_control(record, "example.com", 89, 89), 0);
    EXPECT_EQ(read_file(d.control), c.after.empty() ? *c.before : c.after);
    EXPECT_EQ(names_in(d.dir), std::set<std::string>{".dir-control"});
  }
}

TEST(DirControlFile, FailedWriteLeavesTheOldFileAndNoCopy) {
  DomainBox d;
  DirControl record;
  std::filesystem::create_directories(d.control + "/occupied");  // rename over it fails
  EXPECT_EQ(write_dir_control(record, "example.com", 89, 89), -1);
  EXPECT_EQ(names_in(d.dir), std::set<std::string>{".dir-control"});
  std::filesystem::remove_all(d.dir);  // the copy cannot be created
  EXPECT_EQ(write_dir_control(record, "example.com", 89, 89), -1);
  EXPECT_EQ(write_dir_control(record, "dom_12345678", 12345678, 1), -1);  // no home for the uid
  EXPECT_EQ(names_in(d.domains), std::set<std::string>{});
}

TEST(DirControlFile, LocationFollowsTheDomainOrTheHomeOfTheUid) {
  DomainBox d;
  const passwd* root = getpwuid(0);
  ASSERT_NE(root, nullptr);
  const std::string level = d.domains + "/.dir-control";
  const std::tuple<std::string, uid_t, std::string> cases[] = {
      {"example.com", 89, d.control}, {"alias.org", 0, d.control}, {"dom_89", 89, level},
      {"nosuch.org", 89, level}, {"dom_0", 0, root->pw_dir + std::string("/domains/.dir-control")},
      {"dom_12345678", 12345678, ""}};
  for (const auto& [name, uid, location] : cases) {
    EXPECT_EQ(dir_control_path(name, uid), location) << name;
  }
}

TEST(DirControlNext, AllocatesThroughTheControlFileAndMakesTheDirectories) {
  DomainBox d;
  WorkingDir here(d.domains);
  std::vector<std::string> paths;
  DirControl record;
  for (int entry = 1; entry <= 200; ++entry) {
    EXPECT_EQ(dir_control_load(record, "dom_89", 89), 0);
    paths.push_back(dir_control_next(record, 89, 89));
    EXPECT_EQ(dir_control_save(record, "dom_89", 89, 89), 0);
    if (entry == 1) {
      EXPECT_EQ(read_file(d.domains + "/.dir-control"), kFreshFile);
    }
  }
  EXPECT_EQ((std::vector<std::string>{paths[98], paths[99], paths[198], paths[199]}),
            (std::vector<std::string>{"", "0", "0", "1"}));
  EXPECT_EQ(record.entry_count, 200u);
  EXPECT_EQ(names_in(d.domains), (std::set<std::string>{".dir-control", "0", "1", "example.com"}));
}

TEST(DirControlRelease, CountsOneFewerButNeverBelowZeroAndKeepsThePath) {
  const std::string tail = "\n0\n" + kDefaults;
  const std::pair<std::string, std::string> cases[] = {
      {"5" + tail + "0\n", "4" + tail + "0\n"}, {"0" + tail + "0\n", "0" + tail + "0\n"},
      {"", "0" + tail + "\n"}};  // "": no control file
  for (const auto& [before, after] : cases) {
    DomainBox d;
    if (!before.empty()) write_file(d.control, before);
    EXPECT_EQ(dir_control_release("example.com", 89, 89), 0);
    EXPECT_EQ(read_file(d.control), after);
  }
}

TEST(DirControlDelete, RemovesOnlyAKnownDomainsOwnFile) {
  DomainBox d;
  write_file(d.domains + "/.dir-control", kFreshFile);
  EXPECT_EQ(dir_control_delete(DomainName("example.com")), -1);  // no file yet
  write_file(d.control, kFreshFile);
  EXPECT_EQ(dir_control_delete(DomainName("alias.org")), 0);
  EXPECT_FALSE(file_exists(d.control));
  EXPECT_EQ(dir_control_delete(DomainName("nosuch.org")), -1);
  EXPECT_EQ(dir_control_delete(DomainName("")), -1);
  EXPECT_TRUE(file_exists(d.domains + "/.dir-control"));
}

TEST(FreeDirReturn, RecordsTheSubDirectoryThatHeldTheMailbox) {
  struct Case {
    std::string user, domain, mailbox;  // mailbox under the store home
    std::optional<std::string> result;  // appended to the list "1\n"
    std::string err = "";
  } cases[] = {
      {"joe", "example.com", "/domains/example.com/3/joe", "3"},
      {"joe", "EXAMPLE.com", "/domains/example.com/0/5/joe", "0/5"},
      {"3", "example.com", "/domains/example.com/3/3", "3"},   // user named like the slot
      {"a", "alias.org", "/domains/example.com/3/a", "3"},     // "a" also inside "local"
      {"oe", "example.com", "/domains/example.com/3/joe", "3/joe"},  // not a component: no cut
      {"joe", "example.com", "/domains/example.com/joe", std::nullopt},
      {"joe", "example.com", "/elsewhere/3/joe", std::nullopt},
      {"joe", "NoSuch.org", "/domains/nosuch.org/3/joe", std::nullopt,
       "nosuch.org: No such domain\n"},
      {"joe", "", "/domains/example.com/3/joe", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + " " + c.mailbox);
    DomainBox d;
    write_file(d.list, "1\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(free_dir_return(c.user, DomainName(c.domain), tessera_home() + c.mailbox), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(read_file(d.list), "1\n" + (c.result ? *c.result + "\n" : ""));
    EXPECT_FALSE(file_exists(d.list + "." + std::to_string(getpid())));
  }
}

TEST(FreeDirTake, TakesTheFirstEntryAndCountsItInTheControlFile) {
  const std::string longest = std::string(296, '7'), too_long = longest + "7\n3\n";
  struct Case {
    const char* name;
    std::string domain;
    std::optional<std::string> list_before;
    std::string control_before;  // "" for none
    std::optional<std::string> result;
    std::string list_after, count_after, err;
  } cases[] = {
      {"comment and blank line stay", "example.com", "# freed\n\n3\n4\n", "7\n", "3",
       "# freed\n\n4\n", "8", ""},
      {"blanks and comment around the entry", "alias.org", "  0/5  # spare\n0/5\n", "", "0/5",
       "0/5\n", "0", ""},
      {"no entries", "example.com", "# none\n   \n", "7\n", std::nullopt, "# none\n   \n", "7", ""},
      {"no list", "example.com", std::nullopt, "7\n", std::nullopt, "", "7", ""},
      {"longest line", "example.com", longest + "\n", "7\n", longest, "", "8", ""},
      {"first line too long", "example.com", too_long, "7\n", std::nullopt, too_long, "7",
       "Line No 1 in LIST Exceeds 298 chars\n"},
      {"last line unended", "example.com", "#\n3", "7\n", std::nullopt, "#\n3", "7",
       "Line No 2 in LIST Exceeds 298 chars\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DomainBox d;
    if (c.list_before) write_file(d.list, *c.list_before);
    if (!c.control_before.empty()) write_file(d.control, c.control_before);
    testing::internal::CaptureStderr();
    EXPECT_EQ(free_dir_take(DomainName(c.domain)), c.result);
    std::string err = testing::internal::GetCapturedStderr();
    if (size_t at = err.find(d.list); at != std::string::npos) {
      err.replace(at, d.list.size(), "LIST");
    }
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(read_file(d.list), c.list_after);
    DirControl record;
    read_dir_control(record, "example.com", 89);
    EXPECT_EQ(std::to_string(record.entry_count), c.count_after);
  }
}

}  // namespace

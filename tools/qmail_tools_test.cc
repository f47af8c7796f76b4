// End-to-end tests of the qmail stand-ins: the sandbox's own copies run,
// and what they build is read back with tinycdb's cdb tool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cdb/cdb.h"
#include "tests/testlib/testlib.h"

namespace {

using Pairs = CdbPairs;

// Every record of a cdb file in tinycdb's native dump format.
std::string dump(const std::string& path) {
  RunResult result = run_tinycdb({"-d", path});
  return result.status == 0 ? result.out : "cdb -d failed: " + result.err;
}

// The value that qmail-newu stores: each field followed by a NUL byte.
std::string fields(const std::vector<std::string>& parts) {
  std::string value;
  for (const std::string& part : parts) value += part + std::string(1, '\0');
  return value;
}

class QmailToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tinycdb().empty()) << "tinycdb's cdb tool is needed";
    ASSERT_TRUE(file_exists(box_.path("/var/qmail/bin/qmail-newu")));
    ASSERT_TRUE(file_exists(box_.path("/var/qmail/bin/qmail-newmrh")));
    old_mask_ = umask(022);
  }
  void TearDown() override { umask(old_mask_); }

  // Runs a sandbox copy from an unrelated working directory, so only the
  // program's own location can lead it to its qmail home.
  RunResult run(const std::string& tool) {
    RunOptions options;
    options.argv = {box_.path("/var/qmail/bin/" + tool)};
    options.workdir = box_.www();
    return run_program(options);
  }
  std::string qmail(const std::string& relative) const {
    return box_.path("/var/qmail/" + relative);
  }

  Sandbox box_;
  mode_t old_mask_ = 0;
};

TEST_F(QmailToolsTest, NewuCompilesAssignIntoKeysAndNulEndedFields) {
  std::string deep_dir = "/usr/local/tessera/domains/0/" + std::string(320, 'd');
  write_file(qmail("users/assign"),
             "+example.com-:example.com:89:89:/usr/local/tessera/domains/0/example.com:-::\n"
             "+alias.org-:example.com:89:89:/usr/local/tessera/domains/0/example.com:-::\n"
             "=joe:joe:1001:100:/home/joe:-:ext:\n"
             "+long.example-:long.example:89:89:" + deep_dir + ":-::\n"
             ".\n"
             "anything after the end is not read\n");
  RunResult result = run("qmail-newu");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::string domain_dir = "/usr/local/tessera/domains/0/example.com";
  Pairs expected = {
      {"!example.com-", fields({"example.com", "89", "89", domain_dir, "-", ""})},
      {"!alias.org-", fields({"example.com", "89", "89", domain_dir, "-", ""})},
      {"=joe", fields({"joe", "1001", "100", "/home/joe", "-", "ext"})},
      {"!long.example-", fields({"long.example", "89", "89", deep_dir, "-", ""})},
  };
  EXPECT_EQ(dump(qmail("users/cdb")), tinycdb_records(expected));
  EXPECT_FALSE(file_exists(qmail("users/cdb.tmp")));
  struct stat st;
  ASSERT_EQ(stat(qmail("users/cdb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // And the store's own reader finds the domain the way its lookup asks.
  int fd = open(qmail("users/cdb").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  uint32_t length = 0;
  ASSERT_EQ(cdb_lookup(fd, "!alias.org-", 11, &length), 1);
  std::string value(length, '\0');
  EXPECT_EQ(read(fd, value.data(), length), static_cast<ssize_t>(length));
  EXPECT_EQ(value, expected[1].second);
  close(fd);
}

TEST_F(QmailToolsTest, NewuOfAnEmptyTableGivesAnEmptyDatabase) {
  write_file(qmail("users/assign"), ".\n");
  ASSERT_EQ(run("qmail-newu").status, 0);
  EXPECT_EQ(dump(qmail("users/cdb")), "\n");
  write_file(qmail("users/assign"), "=a:a:1:1:/a:::\n.");  // "." without its line end
  ASSERT_EQ(run("qmail-newu").status, 0);
  EXPECT_EQ(dump(qmail("users/cdb")), tinycdb_records({{"=a", fields({"a", "1", "1", "/a", "", ""})}}));
}

TEST_F(QmailToolsTest, NewuRefusesMalformedTablesAndKeepsTheOldDatabase) {
  const std::string good = "+a.com-:a.com:89:89:/d/a.com:-::\n";
  const struct {
    const char* name;
    std::string assign;
  } cases[] = {
      {"no final dot", good},
      {"empty file", ""},
      {"too few fields", "+a.com-:a.com:89:89:/d/a.com:-:\n.\n"},
      {"too many fields", "+a.com-:a.com:89:89:/d/a.com:-:::\n.\n"},
      {"no closing colon", "+a.com-:a.com:89:89:/d/a.com:-::x\n.\n"},
      {"unknown line kind", good + "a.com:a.com:89:89:/d/a.com:-::\n.\n"},
      {"blank line", good + "\n.\n"},
      {"uid not a number", "+a.com-:a.com:x9:89:/d/a.com:-::\n.\n"},
      {"gid missing", "=joe:joe:1::/home/joe:-::\n.\n"},
      {"dot not alone", good + ". \n"},
  };
  for (const auto& c : cases) {
    write_file(qmail("users/cdb"), "previous database");
    write_file(qmail("users/assign"), c.assign);
    RunResult result = run("qmail-newu");
    EXPECT_EQ(result.status, 111) << c.name;
    EXPECT_EQ(result.err.rfind("qmail-newu: fatal: ", 0), 0u) << c.name << ": " << result.err;
    EXPECT_EQ(read_file(qmail("users/cdb")), "previous database") << c.name;
    EXPECT_FALSE(file_exists(qmail("users/cdb.tmp"))) << c.name;
  }
}

TEST_F(QmailToolsTest, NewuWithoutAssignFileFails) {
  write_file(qmail("users/cdb"), "previous database");
  RunResult result = run("qmail-newu");
  EXPECT_EQ(result.status, 111);
  EXPECT_EQ(result.err, "qmail-newu: fatal: unable to read users/assign\n");
  EXPECT_EQ(read_file(qmail("users/cdb")), "previous database");
}

TEST_F(QmailToolsTest, NewuReportsWhichLineIsWrong) {
  write_file(qmail("users/assign"), "=a:a:1:1:/a:::\n=b:b:1:1\n.\n");
  EXPECT_EQ(run("qmail-newu").err,
            "qmail-newu: fatal: users/assign line 2: wrong number of fields\n");
  write_file(qmail("users/assign"), "=a:a:1:1:/a:::\n");
  EXPECT_EQ(run("qmail-newu").err,
            "qmail-newu: fatal: users/assign does not end with a \".\" line\n");
}

TEST_F(QmailToolsTest, HomeIsTheParentOfTheBinDirectoryItWasStartedFrom) {
  const std::string assign = "+a.com-:a.com:89:89:/d/a.com:-::\n.\n";
  const Pairs expected = {{"!a.com-", fields({"a.com", "89", "89", "/d/a.com", "-", ""})}};
  const std::string bin = box_.path("/var/qmail/bin");
  struct StartCase {
    const char* name;
    bool link_to_build;  // bin/qmail-newu is a symbolic link to the build's program
    std::string program;
    std::string workdir;
  };
  const StartCase cases[] = {
      {"absolute path of the copy", false, bin + "/qmail-newu", box_.www()},
      {"relative path from bin", false, "./qmail-newu", bin},
      {"path through ..", false, "../bin/qmail-newu", box_.path("/var/qmail/users")},
      {"symbolic link in bin", true, bin + "/qmail-newu", box_.www()},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(qmail("users/cdb"));
    if (c.link_to_build) {
      std::filesystem::remove(bin + "/qmail-newu");
      std::filesystem::create_symlink(build_output("qmail-newu"), bin + "/qmail-newu");
    }
    write_file(qmail("users/assign"), assign);
    RunOptions options;
    options.argv = {c.program};
    options.workdir = c.workdir;
    RunResult result = run_program(options);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dump(qmail("users/cdb")), tinycdb_records(expected));
  }
}

TEST_F(QmailToolsTest, DatabaseHasItsModeBeforeItTakesTheFinalName) {
  // users/cdb cannot be replaced (a directory that is not empty): the
  // rename fails, and the finished copy shows the mode it would have had.
  ASSERT_TRUE(std::filesystem::create_directories(qmail("users/cdb/keep")));
  write_file(qmail("users/assign"), "+a.com-:a.com:89:89:/d/a.com:-::\n.\n");
  RunResult result = run("qmail-newu");
  EXPECT_EQ(result.status, 111);
  EXPECT_EQ(result.err.rfind("qmail-newu: fatal: ", 0), 0u) << result.err;
  EXPECT_TRUE(std::filesystem::is_directory(qmail("users/cdb/keep")));
  struct stat st;
  ASSERT_EQ(stat(qmail("users/cdb.tmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(QmailToolsTest, NewmrhCompilesLowerCasedHostsSkippingBlanksAndComments) {
  write_file(qmail("control/morercpthosts"),
             "Example.COM\n\n# a comment\n   \nother.org\n#x.net\nLAST.Net");
  RunResult result = run("qmail-newmrh");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(dump(qmail("control/morercpthosts.cdb")),
            tinycdb_records({{"example.com", ""}, {"other.org", ""}, {"last.net", ""}}));
  EXPECT_FALSE(file_exists(qmail("control/morercpthosts.tmp")));
  struct stat st;
  ASSERT_EQ(stat(qmail("control/morercpthosts.cdb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(QmailToolsTest, NewmrhWithoutAListBuildsAnEmptyDatabase) {
  RunResult result = run("qmail-newmrh");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(dump(qmail("control/morercpthosts.cdb")), "\n");
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {



const std::set<std::string> kAfterSuccess = {".dir_control_free", ".dir_control_free.lock", "usr",
                                             "var", "www"};

struct PrefixCase {
  const char* name;
  std::string before;
  std::string prefix;
  bool first_only;
  int removed;
  std::string after;
};

TEST(RemovePrefixLines, RemovesTheLinesThatBeginWithThePrefix) {
  const std::string long_dir = long_line("9/", 4097);
  const PrefixCase cases[] = {
      {"first only, later matches stay", "0/1\n0\n0/2\n1\n", "0", true, 1, "0\n0/2\n1\n"},
      {"first only, match further down", "1\n2\n0/1\n0/2\n", "0/", true, 1, "1\n2\n0/2\n"},
      {"all matches", "0/1\n1\n0\n0/2\n", "0", false, 3, "1\n"},
      {"no match", "1\n2\n", "0", true, 0, "1\n2\n"},
      {"empty file", "", "0", true, 0, ""},
      {"empty prefix matches the first line", "1\n2\n", "", true, 1, "2\n"},
      {"last line without its newline", "1\n0", "0", true, 1, "1\n"},
      {"long lines kept byte for byte", long_dir + "\n0\n" + long_dir + "\n", "0", true, 1,
       long_dir + "\n" + long_dir + "\n"},
      {"long line removed whole", "1\n" + long_dir + "\n2\n", "9/", true, 1, "1\n2\n"},
  };
  for (const PrefixCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/.dir_control_free";
    write_file(path, c.before);
    EXPECT_EQ(remove_prefix_lines(c.prefix, path, 0644, c.first_only), c.removed);
    EXPECT_EQ(read_file(path), c.after);
    EXPECT_EQ(names_in(box.root()), kAfterSuccess);
  }
}

TEST(RemovePrefixLines, NewFileTakesTheGivenModeAndTheOldOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  Sandbox box;
  std::string path = box.root() + "/.dir_control_free";
  write_file(path, "0\n1\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
  ASSERT_EQ(remove_prefix_lines("0", path, 0644, true), 1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
}

TEST(RemovePrefixLines, MissingTargetIsReportedAndNotCreated) {
  Sandbox box;
  std::string path = box.root() + "/.dir_control_free";
  testing::internal::CaptureStderr();
  EXPECT_EQ(remove_prefix_lines("0", path, 0644, true), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), path + ": No such file or directory\n");
  EXPECT_EQ(names_in(box.root()), (std::set<std::string>{"usr", "var", "www"}));
}

TEST(RemovePrefixLines, UnopenableLockFileLeavesTheTargetInPlace) {
  Sandbox box;
  std::string path = box.root() + "/.dir_control_free";
  write_file(path, "0\n1\n");
  std::filesystem::create_directory(path + ".lock");
  testing::internal::CaptureStderr();
  EXPECT_EQ(remove_prefix_lines("0", path, 0644, true), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "could not open lock file " + path + ".lock: Is a directory\n");
  EXPECT_EQ(read_file(path), "0\n1\n");
  EXPECT_FALSE(file_exists(path + ".bak"));
}

TEST(RemovePrefixLines, StaleBackupIsReplacedAndRemoved) {
  Sandbox box;
  std::string path = box.root() + "/.dir_control_free";
  write_file(path, "0\n1\n");
  write_file(path + ".bak", "stale\n");
  EXPECT_EQ(remove_prefix_lines("0", path, 0644, true), 1);
  EXPECT_EQ(read_file(path), "1\n");
  EXPECT_EQ(names_in(box.root()), kAfterSuccess);
}

}  // namespace

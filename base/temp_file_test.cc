#include "base/temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testlib/testlib.h"

namespace {

mode_t mode_of(const std::string& path) {
  struct stat status {};
  lstat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(TempFile, ReplacesTheTargetWholeWithItsModeSetBeforehand) {
  Sandbox box;
  std::string target = box.path("/usr/local/tessera/file");
  write_file(target, "old\n");
  {
    TempFile temp(temp_name_for(target));
    ASSERT_TRUE(temp.create(0600));
    EXPECT_EQ(mode_of(target + "." + std::to_string(getpid())), 0600u);
    EXPECT_TRUE(temp.give_owner(getuid(), getgid(), true));
    EXPECT_TRUE(temp.set_mode(0640));
    temp.out().write("a");
    temp.out().put("b");
    EXPECT_EQ(temp.replace(target), 0);
  }
  EXPECT_EQ(read_file(target), "ab\n");
  EXPECT_EQ(mode_of(target), 0640u);
  // bin/ is the sandbox's own: it holds the delivery program.
  EXPECT_EQ(names_in(box.path("/usr/local/tessera")), (std::set<std::string>{"bin", "file"}));
}

TEST(TempFile, NeverFollowsAStaleCopyAndLeavesNothingWhenAbandoned) {
  Sandbox box;
  std::string target = box.path("/usr/local/tessera/file");
  std::string victim = box.path("/usr/local/tessera/victim");
  write_file(target, "old\n");
  write_file(victim, "keep\n");
  // A link left at the copy's name by someone else is removed, not written
  // through.
  ASSERT_EQ(symlink(victim.c_str(), temp_name_for(target).c_str()), 0);
  {
    TempFile temp(temp_name_for(target));
    ASSERT_TRUE(temp.create());
    temp.out().put("new");
  }
  EXPECT_EQ(read_file(victim), "keep\n");
  EXPECT_EQ(read_file(target), "old\n");
  EXPECT_EQ(names_in(box.path("/usr/local/tessera")),
            (std::set<std::string>{"bin", "file", "victim"}));
}

TEST(TempFile, AFailedRenameIsAFailureAndRemovesTheCopy) {
  Sandbox box;
  std::string target = box.path("/usr/local/tessera/dir");
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  write_file(target + "/inside", "");
  TempFile temp(temp_name_for(target));
  ASSERT_TRUE(temp.create());
  temp.out().put("x");
  EXPECT_EQ(temp.replace(target), -17);
  EXPECT_FALSE(file_exists(temp_name_for(target)));
}

}  // namespace

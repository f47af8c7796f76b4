#include "base/leftover.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include "tests/testlib/testlib.h"

namespace {

TEST(Leftover, PendingNamesReadBack) {
  struct Case {
    const char* entry;
    std::optional<std::string> name;
    pid_t pid;
  };
  const Case cases[] = {
      {".joe.123", "joe", 123},       {".mail.example.com.9", "mail.example.com", 9},
      {"joe.123", std::nullopt, 0},    {".joe", std::nullopt, 0},
      {".joe.", std::nullopt, 0},      {"..123", std::nullopt, 0},
      {".joe.012", std::nullopt, 0},   {".joe.12a", std::nullopt, 0},
      {".joe.1234567890", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    std::optional<PendingName> got = pending_target(c.entry);
    EXPECT_EQ(got.has_value(), c.name.has_value()) << c.entry;
    if (got && c.name) {
      EXPECT_EQ(got->name, *c.name) << c.entry;
      EXPECT_EQ(got->pid, c.pid) << c.entry;
    }
  }
  std::optional<PendingName> own = pending_target(pending_name_for("ann"));
  ASSERT_TRUE(own);
  EXPECT_EQ(own->name, "ann");
  EXPECT_EQ(own->pid, getpid());
}

TEST(Leftover, CopiesAreKnownByTheirTarget) {
  EXPECT_EQ(copy_pid("tpasswd.bak.42", "tpasswd.bak"), 42);
  EXPECT_EQ(copy_pid("tpasswd.bak.", "tpasswd.bak"), std::nullopt);
  EXPECT_EQ(copy_pid("tpasswd.42", "tpasswd.bak"), std::nullopt);
  EXPECT_EQ(copy_pid("rcpthosts.lock", "rcpthosts"), std::nullopt);
  EXPECT_EQ(copy_pid("xrcpthosts.7", "rcpthosts"), std::nullopt);
}

TEST(Leftover, OnlyDeadOrOldWritersLeaveLeftovers) {
  Sandbox box;
  std::string path = box.root() + "/work";
  write_file(path, "x");
  EXPECT_FALSE(writer_is_gone(path, getppid()));  // alive and fresh
  EXPECT_TRUE(writer_is_gone(path, 4194305));     // no such process
  EXPECT_FALSE(writer_is_gone(box.root() + "/none", 4194305));
  struct timeval old[2] = {{time(nullptr) - 61, 0}, {time(nullptr) - 61, 0}};
  ASSERT_EQ(utimes(path.c_str(), old), 0);
  EXPECT_TRUE(writer_is_gone(path, getppid()));   // alive, but too old
}

}  // namespace

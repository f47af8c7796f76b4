#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {



struct RemoveCase {
  const char* name;
  std::optional<std::string> before;
  std::vector<std::string> lines;
  int removed;
  std::string after;
};

TEST(RemoveLines, RemovesExactlyTheEqualLines) {
  const std::string entry = long_line("+long.org-:long.org:89:89:/d/", 4097);
  const RemoveCase cases[] = {
      {"whole lines only, every copy",
       "a.com\na.com:a.com\nxa.com\na.com\nb.com\n",
       {"a.com"},
       2,
       "a.com:a.com\nxa.com\nb.com\n"},
      {"several strings", "a.com\nb.com\nc.com\n", {"c.com", "a.com"}, 2, "b.com\n"},
      {"string that matches nothing", "a.com\n", {"b.com"}, 0, "a.com\n"},
      {"empty list copies every line", "a.com\nb.com\n", {}, 0, "a.com\nb.com\n"},
      {"last line without its newline", "a.com\nb.com", {"b.com"}, 1, "a.com\n"},
      {"empty line removed by the empty string", "a.com\n\nb.com\n", {""}, 1, "a.com\nb.com\n"},
      {"missing file is created empty", std::nullopt, {"a.com"}, 0, ""},
      {"long entry removed whole", "a.com\n" + entry + "\nb.com\n", {entry}, 1, "a.com\nb.com\n"},
      {"long entry is not matched by its first piece",
       "a.com\n" + entry + "\n",
       {entry.substr(0, 299)},
       0,
       "a.com\n" + entry + "\n"},
      {"long entry kept byte for byte", entry + "\na.com\n", {"a.com"}, 1, entry + "\n"},
  };
  for (const RemoveCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/locals";
    if (c.before) write_file(path, *c.before);
    EXPECT_EQ(remove_lines(path, c.lines), c.removed);
    EXPECT_EQ(read_file(path), c.after);
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_EQ(names_in(box.root()),
              (std::set<std::string>{"locals", "locals.lock", "usr", "var", "www"}));
  }
}

TEST(RemoveLines, UnopenableLockFileIsRefusedWithItsMessage) {
  Sandbox box;
  std::string path = box.root() + "/locals";
  write_file(path, "a.com\n");
  std::filesystem::create_directory(path + ".lock");
  testing::internal::CaptureStderr();
  EXPECT_EQ(remove_lines(path, std::vector<std::string>{"a.com"}), -17);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not open lock file " + path + ".lock\n");
  EXPECT_EQ(read_file(path), "a.com\n");
}

}  // namespace

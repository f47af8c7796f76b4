#include "base/whole_file.h"

#include <gtest/gtest.h>

#include "tests/testlib/testlib.h"

namespace {

TEST(WholeFile, SplitsLinesAndReadsWithinItsBound) {
  struct Case {
    std::string_view text;
    std::vector<std::string> lines;
  } cases[] = {{"", {}}, {"a\n", {"a"}}, {"a\n\nb", {"a", "", "b"}}, {"\n", {""}}};
  for (const Case& c : cases) EXPECT_EQ(split_lines(c.text), c.lines) << c.text;

  Sandbox box;
  const std::string path = box.root() + "/f";
  write_file(path, "abc\n");
  std::string text;
  EXPECT_TRUE(read_whole_file(path, text, kWholeFileNoLimit));
  EXPECT_EQ(text, "abc\n");
  EXPECT_TRUE(read_whole_file(path, text, 4));
  EXPECT_FALSE(read_whole_file(path, text, 3));
  EXPECT_FALSE(read_whole_file(box.root() + "/missing", text, kWholeFileNoLimit));
}

}  // namespace

#include "base/chunk_lines.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/testlib/testlib.h"

using namespace std::string_literals;

namespace {

struct Line {
  std::string text;
  bool ended;
  bool operator==(const Line&) const = default;
};

// Every line of the file, as the reader hands them out.
std::vector<Line> lines_of_file(const std::string& path, bool* failed = nullptr) {
  int fd = open(path.c_str(), O_RDONLY);
  std::vector<Line> lines;
  ChunkLines reader(fd);
  std::string_view line;
  bool ended = false;
  while (reader.next(line, ended)) lines.push_back({std::string(line), ended});
  if (failed) *failed = reader.failed();
  if (fd >= 0) close(fd);
  return lines;
}

// Lines of any length, across the reader's pieces, with or without a last
// line end, come out byte for byte.
TEST(ChunkLines, HandsOutEveryLineWholeAcrossItsPieces) {
  Sandbox box;
  const std::string path = box.root() + "/text";
  const std::string longest(700000, 'L');  // longer than one piece
  std::string many;
  std::vector<Line> many_lines;
  for (int i = 0; i < 40000; ++i) {  // lines straddle every piece boundary
    std::string line = "line" + std::to_string(i) + std::string(i % 13, ':');
    many += line + "\n";
    many_lines.push_back({line, true});
  }
  const struct {
    std::string content;
    std::vector<Line> lines;
  } cases[] = {
      {"", {}},
      {"\n", {{"", true}}},
      {"a\n\nb", {{"a", true}, {"", true}, {"b", false}}},
      {"x\0y\n"s, {{"x\0y"s, true}}},
      {"a\n" + longest + "\nb\n", {{"a", true}, {longest, true}, {"b", true}}},
      {longest, {{longest, false}}},
      {many, many_lines},
  };
  for (const auto& c : cases) {
    write_file(path, c.content);
    bool failed = true;
    EXPECT_EQ(lines_of_file(path, &failed), c.lines) << c.content.substr(0, 20);
    EXPECT_FALSE(failed);
  }
}

TEST(ChunkLines, AReadErrorEndsTheLinesAndSaysSo) {
  Sandbox box;
  bool failed = false;
  EXPECT_TRUE(lines_of_file(box.root(), &failed).empty());  // a directory cannot be read
  EXPECT_TRUE(failed);
}

}  // namespace

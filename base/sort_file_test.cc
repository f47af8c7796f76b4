#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {



struct SortCase {
  const char* name;
  int kind;
  std::optional<std::string> before;
  int capacity;
  int code;
  std::string after;
};

TEST(SortFile, RewritesTheLinesInKeyOrder) {
  const std::string big = long_line("b.org:", 4097);
  const SortCase cases[] = {
      {"plain list", kHostListKind, "c.org\nmail.a.org\na.org\nb.org\n", 10, 0,
       "a.org\nmail.a.org\nb.org\nc.org\n"},
      {"assign file: dots dropped, one dot last", kAssignKind,
       "+c.org-:c\n.\n+a.org-:a\n+b.org-:b\n.\n", 10, 0, "+a.org-:a\n+b.org-:b\n+c.org-:c\n.\n"},
      {"equal keys keep their file order", kVirtualDomainsKind,
       "b.org:2\na.org:1\nb.org:1\nb.org:3\n", 4, 0, "a.org:1\nb.org:2\nb.org:1\nb.org:3\n"},
      {"exactly as many lines as the capacity", kHostListKind, "b\na\n", 2, 0, "a\nb\n"},
      {"dots do not count against the capacity", kAssignKind, "+b-:\n.\n.\n+a-:\n", 2, 0,
       "+a-:\n+b-:\n.\n"},
      {"missing file becomes an empty list", kHostListKind, std::nullopt, 1, 0, ""},
      {"missing assign file becomes just the dot", kAssignKind, std::nullopt, 1, 0, ".\n"},
      {"long lines are carried whole", kHostListKind, big + "\nc.org\na.org", 3, 0,
       "a.org\n" + big + "\nc.org\n"},
  };
  for (const SortCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/list";
    if (c.before) write_file(path, *c.before);
    EXPECT_EQ(sort_file(path, c.capacity, c.kind), c.code);
    EXPECT_EQ(read_file(path), c.after);
    EXPECT_EQ(names_in(box.root()),
              (std::set<std::string>{"list", "list.lock", "usr", "var", "www"}));
  }
}

TEST(SortFile, MoreLinesThanTheCapacityLeaveTheFileAndNoCopy) {
  const SortCase cases[] = {
      {"one line too many", kHostListKind, "c\nb\na\n", 2, -24, "c\nb\na\n"},
      {"no room at all", kAssignKind, "+b-:\n.\n", 0, -24, "+b-:\n.\n"},
      {"negative capacity", kHostListKind, "b\na\n", -1, -24, "b\na\n"},
  };
  for (const SortCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/list";
    write_file(path, *c.before);
    EXPECT_EQ(sort_file(path, c.capacity, c.kind), c.code);
    EXPECT_EQ(read_file(path), c.after);
    EXPECT_EQ(names_in(box.root()),
              (std::set<std::string>{"list", "list.lock", "usr", "var", "www"}));
  }
}

TEST(SortFile, SortingASortedFileChangesNothing) {
  Sandbox box;
  std::string path = box.root() + "/assign";
  std::string sorted =
      "+example.com-:e\n+a.example.com-:e\n+b.example.com-:e\n+example.net-:n\n.\n";
  write_file(path, sorted);
  ASSERT_EQ(sort_file(path, 4, kAssignKind), 0);
  EXPECT_EQ(read_file(path), sorted);
}

}  // namespace

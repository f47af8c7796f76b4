#include "web/scope.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ScopeLine, SplitsANameAndItsDomainsOrSaysWhyNot) {
  using V = std::vector<std::string>;
  const struct {
    const char* line;
    ScopeLine kind;
    const char* name;
    V domains;
  } cases[] = {
      {"alice a.example", ScopeLine::kEntry, "alice", {"a.example"}},
      {" \talice \t Shop.Example,b-c.example\r", ScopeLine::kEntry, "alice", {"shop.example", "b-c.example"}},
      {"", ScopeLine::kSkipped, "", {}},
      {" \t\r", ScopeLine::kSkipped, "", {}},
      {"  # alice a.example", ScopeLine::kSkipped, "", {}},
      {"alice", ScopeLine::kMalformed, "", {}},
      {"alice a.example b.example", ScopeLine::kMalformed, "", {}},
      {"alice a.example,", ScopeLine::kMalformed, "", {}},
      {"alice a/b", ScopeLine::kMalformed, "", {}},
  };
  for (const auto& c : cases) {
    std::string name;
    V domains;
    EXPECT_EQ(split_scope_line(c.line, &name, &domains), c.kind) << c.line;
    EXPECT_EQ(name, c.name) << c.line;
    EXPECT_EQ(domains, c.domains) << c.line;
  }
}

}  // namespace

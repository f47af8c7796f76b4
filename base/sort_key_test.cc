#include <gtest/gtest.h>

#include <string>

#include "base/locked_file.h"

namespace {

struct KeyCase {
  const char* name;
  std::string line;
  int kind;
  std::string key;
};

std::string twelve_labels() {
  std::string name;
  for (int i = 1; i <= 12; ++i) name += (i > 1 ? "." : "") + std::string("l") + std::to_string(i);
  return name;
}

TEST(SortKey, ParentDomainComesFirstSoSubDomainsFollowIt) {
  const KeyCase cases[] = {
      {"two labels", "example.com", kHostListKind, "example.com"},
      {"one sub-domain", "mail.example.com", kHostListKind, "example.com.mail"},
      {"two sub-domains", "a.b.example.com", kHostListKind, "example.com.a.b"},
      {"four sub-domains", "x.y.z.example.com", kHostListKind, "example.com.x.y.z"},
      {"one label", "localhost", kHostListKind, "localhost"},
      {"only the first ten labels count", twelve_labels(), kHostListKind,
       "l9.l10.l1.l2.l3.l4.l5.l6.l7.l8"},
      {"empty labels vanish", "a..example.com.", kHostListKind, "example.com.a"},
      {"one label keeps its dots", ".com.", kHostListKind, ".com."},
      {"empty line", "", kHostListKind, ""},
      {"text after the colon is ignored", "mail.example.com:mail.example.com", kVirtualDomainsKind,
       "example.com.mail"},
      {"assign entry", "+example.com-:example.com:89:89:/d/0/example.com:-::", kAssignKind,
       "example.com"},
      {"assign sub-domain", "+mail.example.com-:example.com:89:89:/d:-::", kAssignKind,
       "example.com.mail"},
      {"assign without a colon drops the last character", "+example.com-", kAssignKind,
       "example.com"},
      {"assign end marker", ".", kAssignKind, ""},
      {"assign entry with an empty name", "+:x", kAssignKind, ""},
      {"plain kind keeps a leading plus", "+example.com-:x", kHostListKind, "+example.com-"},
  };
  for (const KeyCase& c : cases) {
    EXPECT_EQ(sort_key(c.line, c.kind), c.key) << c.name;
  }
}

TEST(SortKey, OnlyTheFirst300BytesCount) {
  const std::string long_name(400, 'a');
  struct LimitCase {
    const char* name;
    std::string line;
    int kind;
    std::string key;
  };
  const LimitCase cases[] = {
      {"plain", long_name, kHostListKind, std::string(300, 'a')},
      {"plain before its colon", long_name + ":rest", kHostListKind, std::string(300, 'a')},
      // 299 bytes after the "+", then the closing character is dropped.
      {"assign", "+" + long_name + "-:x", kAssignKind, std::string(298, 'a')},
      {"labels past the cut vanish", std::string(298, 'b') + ".c.example.com", kHostListKind,
       std::string(298, 'b') + ".c"},
  };
  for (const LimitCase& c : cases) {
    std::string key = sort_key(c.line, c.kind);
    EXPECT_EQ(key, c.key) << c.name;
    EXPECT_LE(key.size(), kSortKeyMax) << c.name;
  }
}

TEST(SortKey, KeysOrderSubDomainsRightAfterTheirParent) {
  // In key order: each parent, then its sub-domains, then the next parent.
  const char* ordered[] = {"example.com", "a.example.com",   "b.a.example.com", "mail.example.com",
                           "example.net", "www.example.net", "example.org"};
  for (size_t i = 1; i < std::size(ordered); ++i) {
    EXPECT_LT(sort_key(ordered[i - 1], kHostListKind), sort_key(ordered[i], kHostListKind))
        << ordered[i - 1] << " before " << ordered[i];
  }
}

}  // namespace

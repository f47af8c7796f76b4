#include "pages/control_files.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/site.h"

namespace {

TEST(ControlFileContent, DropsCarriageReturnsAndVerticalTabsAndEndsInNewline) {
  const struct {
    std::string text;
    std::string written;
  } cases[] = {
      {"", "\n"},
      {"a", "a\n"},
      {"a\n", "a\n"},
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\r\nb", "a\nb\n"},
      {"a\v\vb\n", "ab\n"},
      {"\n", "\n"},
      {"a\n\r", "a\n\n"},
      {"x+y z\n", "x+y z\n"},
      {"</textarea>\n", "</textarea>\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(control_file_content(c.text), c.written) << c.text;
}

TEST(ControlFilePath, RefusesDotsSlashesAndNamesThatWouldBeCut) {
  // The limits are those of the host's path, whatever root is in front of it.
  for (const std::string& root : {std::string(), "/tmp/" + std::string(100, 'r')}) {
    site_set_root(root);
    for (const char* bad : {"../x", "a/b", "rcpthosts.bak", ".", "..", "/", ".hidden", "x."}) {
      EXPECT_FALSE(control_file_path(bad, 254).has_value()) << bad;
    }
    ASSERT_TRUE(control_file_path("me", 254).has_value());
    EXPECT_EQ(*control_file_path("me", 254), root + "/var/qmail/control/me");
    EXPECT_TRUE(control_file_path("", 254).has_value());
    // "/var/qmail/control/" is 19 characters: 234 more fill a 254-byte field.
    EXPECT_TRUE(control_file_path(std::string(234, 'n'), 254).has_value()) << root;
    EXPECT_FALSE(control_file_path(std::string(235, 'n'), 254).has_value()) << root;
    EXPECT_TRUE(control_file_path(std::string(235, 'n'), 255).has_value()) << root;
    EXPECT_FALSE(control_file_path(std::string(236, 'n'), 255).has_value()) << root;
  }
  site_set_root("");
}

TEST(ControlLinkLine, PlainNamesPrintAsBeforeOthersAreEncoded) {
  EXPECT_EQ(control_link_line("me"),
            "<a href=/cgi-bin/larkspur/larkspur.cgi?nav=display_file&fname=me>me</a>\n");
  EXPECT_EQ(control_link_line("a b<&>"),
            "<a href=/cgi-bin/larkspur/larkspur.cgi?nav=display_file&fname=a%20b%3C%26%3E>"
            "a b&lt;&amp;&gt;</a>\n");
}

TEST(ControlFileTable, TwentyFourDistinctValidNames) {
  std::set<std::string> names;
  for (const ControlFile& file : control_file_table()) {
    EXPECT_TRUE(control_file_path(file.name, 254).has_value()) << file.name;
    EXPECT_STRNE(file.description, "");
    names.insert(file.name);
  }
  EXPECT_EQ(control_file_table().size(), 24u);
  EXPECT_EQ(names.size(), 24u);
}

}  // namespace

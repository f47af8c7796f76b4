#include "web/page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string printed_messages() {
  FILE* out = std::tmpfile();
  print_message_list(out);
  std::rewind(out);
  std::string text;
  for (int ch = std::fgetc(out); ch != EOF; ch = std::fgetc(out)) text += static_cast<char>(ch);
  std::fclose(out);
  return text;
}

TEST(CutText, KeepsWhatTheFieldHolds) {
  EXPECT_EQ(field_text("abc", 500), "abc");
  EXPECT_EQ(field_text(std::string(499, 'x'), 500), std::string(499, 'x'));
  EXPECT_EQ(field_text(std::string(500, 'x'), 500), std::string(499, 'x'));
  EXPECT_EQ(field_text("abc", 3), "ab");
  EXPECT_EQ(field_text("abc", 0), "");
}

TEST(MessageList, FitsUpTo499BytesWithSeparators) {
  const struct {
    std::vector<size_t> lengths;
    std::vector<bool> kept;
  } cases[] = {
      {{498}, {true}},
      {{499}, {false}},
      {{499, 3}, {false, true}},
      {{200, 200, 96}, {true, true, true}},
      {{200, 200, 97}, {true, true, false}},
      {{200, 200, 97, 2}, {true, true, false, true}},
  };
  for (const auto& c : cases) {
    init_page_state();
    std::string expected;
    for (size_t i = 0; i < c.lengths.size(); ++i) {
      std::string text(c.lengths[i], static_cast<char>('a' + i));
      add_message(text);
      if (c.kept[i]) expected += text + "$";
    }
    EXPECT_EQ(std::string(page.message_list), expected);
    EXPECT_EQ(page.message_used, static_cast<int32_t>(expected.size()));
    EXPECT_LE(page.message_used, 499);
  }
}

TEST(MessageList, PrintsEachPartEscapedThenOnlyTheFirstOnASecondPrint) {
  const struct {
    std::vector<std::string> messages;
    std::string first;
    std::string second;
  } cases[] = {
      {{}, "", ""},
      {{"A"}, "A<BR><BR>", "A<BR>"},
      {{"A", "B"}, "A<BR>B<BR><BR>", "A<BR>"},
      {{"a$b"}, "a<BR>b<BR><BR>", "a<BR>"},
      {{""}, "<BR><BR>", "<BR>"},
      {{"<i>&", "x"}, "&lt;i&gt;&amp;<BR>x<BR><BR>", "&lt;i&gt;&amp;<BR>"},
  };
  for (const auto& c : cases) {
    init_page_state();
    for (const std::string& m : c.messages) add_message(m);
    EXPECT_EQ(printed_messages(), c.first);
    EXPECT_EQ(printed_messages(), c.second);
  }
}

TEST(PageVars, EmptyValueNeverCreatesButClearsAnExistingOne) {
  init_page_state();
  set_page_var("DN", "");
  EXPECT_EQ(get_page_var("DN"), nullptr);
  set_page_var("DN", "example.com");
  ASSERT_NE(get_page_var("DN"), nullptr);
  EXPECT_EQ(*get_page_var("DN"), "example.com");
  set_page_var("DN", "");
  ASSERT_NE(get_page_var("DN"), nullptr);
  EXPECT_EQ(*get_page_var("DN"), "");
  EXPECT_EQ(page.vars.size(), 1u);
}

TEST(PageVars, KeyIsTheFirstTwoCharactersAndLookupIsExact) {
  init_page_state();
  set_page_var("UQX", "one");
  set_page_var("UQ", "two");
  set_page_var("uq", "three");
  ASSERT_EQ(page.vars.size(), 2u);
  EXPECT_EQ(*get_page_var("UQ"), "two");
  EXPECT_EQ(*get_page_var("uq"), "three");
  EXPECT_EQ(get_page_var("UQX"), nullptr);
  EXPECT_EQ(get_page_var("U"), nullptr);
}

TEST(PageVars, MarkupFlagFollowsTheLastSetting) {
  init_page_state();
  set_page_markup("a0", "<a>");
  EXPECT_TRUE(page.vars[0].markup);
  set_page_var("a0", "<a>");
  EXPECT_FALSE(page.vars[0].markup);
  set_page_markup("a0", "<b>");
  EXPECT_TRUE(page.vars[0].markup);
  EXPECT_EQ(*get_page_var("a0"), "<b>");
}

TEST(PageState, InitEmptiesEverything) {
  page.error_text = "e";
  page.admin_user = "u";
  page.acl_entry = "g";
  add_message("m");
  set_page_var("XX", "v");
  init_page_state();
  EXPECT_EQ(page.error_text, "");
  EXPECT_EQ(page.admin_user, "");
  EXPECT_EQ(page.acl_entry, "");
  EXPECT_EQ(page.message_used, 0);
  EXPECT_EQ(page.message_list[0], '\0');
  EXPECT_TRUE(page.vars.empty());
}

int before_page_runs = 0;

// What must be on disk before the client sees a page (the audit line) is
// done before the first byte of the page, once, and can still add to it.
TEST(BeforePage, RunsOnceBeforeTheFirstByteOfThePage) {
  init_page_state();
  const std::string path = std::string(testing::TempDir()) + "before_page.html";
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("HK=$-HK\n", file);
  std::fclose(file);
  set_before_page([] { set_page_var("HK", std::to_string(++before_page_runs)); });
  testing::internal::CaptureStdout();
  print_template(path.c_str(), false);
  print_template(path.c_str(), false);
  std::fflush(stdout);
  // The header goes out once, with the first page.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Content-type: text/html\n\nHK=1\nHK=1\n");
  EXPECT_EQ(before_page_runs, 1);
  std::remove(path.c_str());
}

}  // namespace

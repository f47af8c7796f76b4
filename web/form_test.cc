#include "web/form.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Vars = std::vector<std::pair<std::string, std::string>>;

Vars parse(std::string text) {
  parse_form(text.data());
  Vars vars;
  for (const FormVar& var : request.form_vars) vars.emplace_back(var.name, var.value);
  return vars;
}

struct ParseCase {
  const char* input;
  Vars vars;
};

TEST(ParseForm, SplitsAndDecodesLikeTheBrowserFormsExpect) {
  const ParseCase cases[] = {
      {"", {}},
      {"a=1&b=2&a=3", {{"a", "1"}, {"b", "2"}, {"a", "3"}}},
      {"a=x=y", {{"a", "x=y"}}},
      {"a=", {{"a", ""}}},
      {"=v", {{"", "v"}}},
      {"a&b=c", {{"a&b", "c"}}},
      {"b=c&", {{"b", "c"}}},
      {"x", {}},
      {"a=1&x", {{"a", "1"}}},
      {"a=%41%42", {{"a", "AB"}}},
      {"a=%4a&b=2", {{"a", ""}}},
      {"a=1&b=%4", {{"a", "1"}, {"b", "%4"}}},
      {"a=%", {{"a", "%"}}},
      {"a=1+2", {{"a", "1 2"}}},         {"a=1%2B2+", {{"a", "1+2 "}}},
      {"a+b=c+", {{"a b", "c "}}},
      {"x=%26y=1", {{"x", "&y=1"}}},
      {"a=1%26b%3D2&b=3", {{"a", "1&b=2"}, {"b", "3"}}},
      {"a%3Db=1", {{"a=b", "1"}}},
      {"a=1&%4a=2&c=3", {{"a", "1"}}},
      {"a=%3Db", {{"a", "=b"}}},
      {"a=%2541", {{"a", "%41"}}},
      {"%61=1", {{"a", "1"}}},
      {"%6a=1", {}},
      {"%41=1", {{"A", "1"}}},
      {"a=%00b&c=d", {{"a", ""}}},
      {"a=%FF", {{"a", "\xff"}}},
      {"&&a=1", {{"&&a", "1"}}},
  };
  for (const ParseCase& c : cases) EXPECT_EQ(parse(c.input), c.vars) << c.input;
}

TEST(ParseForm, FormValueFindsFirstExactNameAndTellsEmptyFromAbsent) {
  std::string text = "a=1&b=&a=3&Nav=x";
  parse_form(text.data());
  ASSERT_NE(form_value("a"), nullptr);
  EXPECT_STREQ(form_value("a"), "1");
  ASSERT_NE(form_value("b"), nullptr);
  EXPECT_STREQ(form_value("b"), "");
  EXPECT_EQ(form_value("c"), nullptr);
  EXPECT_EQ(form_value("nav"), nullptr);
  EXPECT_EQ(form_value(""), nullptr);
  EXPECT_EQ(form_value("a="), nullptr);
}

TEST(HexPair, OnlyUpperCaseDigitsCount) {
  const struct {
    char high, low;
    unsigned char byte;
  } cases[] = {
      {'0', '0', 0x00}, {'4', '1', 0x41}, {'F', 'F', 0xFF}, {'A', '9', 0xA9},
      {'4', 'a', 0x00}, {'f', 'F', 0x00}, {'G', '1', 0x00}, {'+', '1', 0x00},
      {' ', '1', 0x00}, {'1', 'g', 0x00},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_pair(c.high, c.low), c.byte) << c.high << c.low;
  }
}

TEST(BodyLength, ClampsAndRefuses) {
  const struct {
    const char* text;
    int32_t length;
  } cases[] = {
      {"1", 1},           {"10000", 10000},   {"10001", 9999},      {"99999999999999999999", 9999},
      {"0", 0},           {"-5", 0},          {"abc", 0},           {"", 0},
      {"  42", 42},       {"+7", 7},          {"12abc", 12},        {"-99999999999999999999", 0},
      {"2147483648", 9999},
  };
  for (const auto& c : cases) EXPECT_EQ(body_length(c.text), c.length) << c.text;
}

}  // namespace

#include "web/escape.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "web/form.h"

namespace {

struct EscapeCase {
  std::string text;
  std::string html;
  std::string url;
};

const EscapeCase kEscapeCases[] = {
    {"example.com", "example.com", "example.com"},
    {"me", "me", "me"},
    {"", "", ""},
    {"a-b_c~d", "a-b_c~d", "a-b_c~d"},
    {"</textarea>", "&lt;/textarea&gt;", "%3C%2Ftextarea%3E"},
    {"a&b", "a&amp;b", "a%26b"},
    {"\"q\" 'x'", "&quot;q&quot; &#39;x&#39;", "%22q%22%20%27x%27"},
    {"1+2=3", "1+2=3", "1%2B2%3D3"},
    {"&amp;", "&amp;amp;", "%26amp%3B"},
    {"\xff\n", "\xff\n", "%FF%0A"},
};

TEST(Escape, HtmlAndUrlFormsOfEachText) {
  for (const EscapeCase& c : kEscapeCases) {
    EXPECT_EQ(html_escape(c.text), c.html) << c.text;
    EXPECT_EQ(url_encode(c.text), c.url) << c.text;
  }
}

TEST(Escape, StreamFormMatchesStringForm) {
  for (const EscapeCase& c : kEscapeCases) {
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    print_html_escaped(c.text, out);
    std::rewind(out);
    std::string printed;
    for (int ch = std::fgetc(out); ch != EOF; ch = std::fgetc(out)) printed += static_cast<char>(ch);
    std::fclose(out);
    EXPECT_EQ(printed, c.html) << c.text;
  }
}

// What the list page puts into a link comes back unchanged through the
// request decoder, "&" and "=" included: the decoder splits before it
// decodes.
TEST(Escape, UrlEncodedTextDecodesBackToItself) {
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  for (const std::string& text : {every_byte, std::string("a%41+ %"), std::string("")}) {
    std::string query = "v=" + url_encode(text);
    parse_form(query.data());
    ASSERT_EQ(request.form_vars.size(), 1u);
    EXPECT_EQ(std::string(form_value("v")), text);
  }
}

TEST(Escape, EncodedSeparatorsStayInTheirValue) {
  std::string query = "v=" + url_encode("a&b=c") + "&w=" + url_encode("=&");
  parse_form(query.data());
  ASSERT_EQ(request.form_vars.size(), 2u);
  EXPECT_STREQ(form_value("v"), "a&b=c");
  EXPECT_STREQ(form_value("w"), "=&");
  EXPECT_EQ(form_value("b"), nullptr);
}

}  // namespace

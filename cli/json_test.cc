// json_text: every escape, and each kind of ill-formed UTF-8 replaced as
// maximal-subpart decoders do (one U+FFFD per ill-formed part).
#include "cli/json.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonText, EscapesAndReplacements) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"plain.example", "\"plain.example\""},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xab", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xab\""},
      {"\x80", "\"\\ufffd\""},                      // stray continuation
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},           // overlong lead
      {"\xc2", "\"\\ufffd\""},                      // cut at the end
      {"\xe2\x82z", "\"\\ufffdz\""},                // cut before a letter
      {"\xe0\x80\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // overlong three bytes
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
      {"\xf0\x9f\x93", "\"\\ufffd\""},              // four-byte start, cut
      {"\xff\xfe", "\"\\ufffd\\ufffd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_text(c.in), c.out) << c.in;
}

TEST(JsonText, ObjectsAndArraysKeepTheirOrder) {
  std::string inner = JsonObject().number("n", -1).unsigned_number("u", UINT64_MAX).object();
  EXPECT_EQ(JsonObject()
                .text("a", "x")
                .boolean("b", true)
                .null("c")
                .optional_text("d", std::nullopt)
                .optional_text("e", "y")
                .document("f", json_array({inner, "[]"}))
                .object(),
            "{\"a\":\"x\",\"b\":true,\"c\":null,\"d\":null,\"e\":\"y\","
            "\"f\":[{\"n\":-1,\"u\":18446744073709551615},[]]}");
  EXPECT_EQ(json_text_array({}), "[]");
  EXPECT_EQ(json_text_array({"a\"", "b"}), "[\"a\\\"\",\"b\"]");
}

}  // namespace

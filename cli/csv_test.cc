// The CSV reader: rows, fields and line numbers of each row, and the rows
// whose quoting is broken.
#include "cli/csv.h"

#include <gtest/gtest.h>

namespace {

// Rows as "LINE:field|field" or "LINE!error".
std::vector<std::string> rows_of(const std::string& text) {
  std::vector<std::string> rows;
  CsvReader reader(text);
  CsvRow row;
  while (reader.next(row)) {
    std::string shown = std::to_string(row.line) + (row.error.empty() ? ":" : "!" + row.error);
    for (size_t i = 0; i < row.fields.size(); ++i) shown += (i ? "|" : "") + row.fields[i];
    rows.push_back(shown);
  }
  return rows;
}

TEST(CsvReader, RowsFieldsAndLines) {
  struct Case {
    std::string text;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"", {}},
      {"\n\r\n\n", {}},
      {"a,b", {"1:a|b"}},
      {"a,b\r\nc,d\r\n", {"1:a|b", "2:c|d"}},
      {"a,,\n", {"1:a||"}},
      {"x\ry,z\n", {"1:x\ry|z"}},  // a lone CR is data
      {"\"a,b\",\"c\"\"d\"\n", {"1:a,b|c\"d"}},
      {"\"two\nlines\",x\nnext\n", {"1:two\nlines|x", "3:next"}},
      {"\"\",\"\"\n", {"1:|"}},
      {"\n\na\n", {"3:a"}},
      {"\"open,x\nmore\n", {"1!quoted field not closed"}},
      {"\"a\"b,c\nd\n", {"1!text after a closing quote", "2:d"}},
      {"a\"b,c\nd\n", {"1!quote inside an unquoted field", "2:d"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows_of(c.text), c.rows) << c.text;
}

}  // namespace

// Comma-separated rows as RFC 4180 writes them: fields split at ",", a
// field in double quotes may hold commas, line ends and doubled quotes
// ("" stands for one "); rows end at CRLF or LF, the last one may lack it.
//
// The reader works on a text held in memory and never fails as a whole: a
// row whose quoting is broken (a quote that never closes, text after a
// closing quote, a quote inside an unquoted field) comes back with an error
// text and no fields, and reading goes on after that row's line end (after
// the end of the text for a quote that never closes). Empty lines are
// passed over.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct CsvRow {
  size_t line = 0;                  // the line the row starts on, from 1
  std::vector<std::string> fields;  // empty when error is set
  std::string error;
};

class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}
  // The next row; false at the end of the text.
  bool next(CsvRow& row);

 private:
  bool at_line_end() const;
  void skip_line_end();
  void skip_rest_of_line();
  bool read_quoted(std::string& field, std::string& error);
  void read_plain(std::string& field, std::string& error);

  std::string_view text_;
  size_t pos_ = 0;
  size_t line_ = 1;
};

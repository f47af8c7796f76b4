// The CSV row reader; see csv.h.
#include "cli/csv.h"

bool CsvReader::at_line_end() const {
  if (pos_ >= text_.size()) return true;
  if (text_[pos_] == '\n') return true;
  return text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n';
}

void CsvReader::skip_line_end() {
  if (pos_ < text_.size() && text_[pos_] == '\r') ++pos_;
  if (pos_ < text_.size() && text_[pos_] == '\n') {
    ++pos_;
    ++line_;
  }
}

void CsvReader::skip_rest_of_line() {
  while (!at_line_end()) ++pos_;
  skip_line_end();
}

// A field that starts with a quote, up to its closing quote; the line ends
// inside it count towards the line numbers of the rows after it.
bool CsvReader::read_quoted(std::string& field, std::string& error) {
  ++pos_;
  for (;;) {
    if (pos_ >= text_.size()) {
      error = "quoted field not closed";
      return false;
    }
    char c = text_[pos_++];
    if (c == '"') {
      if (pos_ < text_.size() && text_[pos_] == '"') {
        field += '"';
        ++pos_;
        continue;
      }
      if (!at_line_end() && text_[pos_] != ',') {
        error = "text after a closing quote";
        return false;
      }
      return true;
    }
    if (c == '\n') ++line_;
    field += c;
  }
}

void CsvReader::read_plain(std::string& field, std::string& error) {
  while (!at_line_end() && text_[pos_] != ',') {
    if (text_[pos_] == '"') error = "quote inside an unquoted field";
    field += text_[pos_++];
  }
}

bool CsvReader::next(CsvRow& row) {
  while (pos_ < text_.size() && at_line_end()) skip_line_end();
  if (pos_ >= text_.size()) return false;
  row = CsvRow();
  row.line = line_;
  for (;;) {
    std::string field;
    if (pos_ < text_.size() && text_[pos_] == '"') {
      if (!read_quoted(field, row.error)) break;
    } else {
      read_plain(field, row.error);
      if (!row.error.empty()) break;
    }
    row.fields.push_back(std::move(field));
    if (at_line_end()) {
      skip_line_end();
      return true;
    }
    ++pos_;  // the comma
  }
  row.fields.clear();
  skip_rest_of_line();
  return true;
}

#include "tools/qmail_tables.h"

#include <string_view>

namespace {

// user, uid, gid, home, dash, ext: the fields after the address.
constexpr size_t kAssignFields = 7;

bool is_decimal(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string line_problem(size_t number, const char* what) {
  std::string text = "users/assign line ";
  return text.append(std::to_string(number)).append(": ").append(what);
}

// Splits an entry (the line after its "=" or "+") at its colons into the
// seven fields and the closing colon. false when the colons are not exactly
// seven with the last at the end.
bool split_entry(std::string_view entry, std::string_view (&fields)[kAssignFields]) {
  for (size_t i = 0; i < kAssignFields; ++i) {
    size_t colon = entry.find(':');
    if (colon == std::string_view::npos) return false;
    fields[i] = entry.substr(0, colon);
    entry.remove_prefix(colon + 1);
  }
  return entry.empty();
}

// One entry line (after its "=" or "+"). Empty result when it is fine.
std::string check_entry(bool split, const std::string_view (&fields)[kAssignFields],
                        size_t number) {
  // Seven fields and a closing colon, which leaves an empty last piece.
  if (!split) return line_problem(number, "wrong number of fields");
  if (!is_decimal(fields[2]) || !is_decimal(fields[3])) {
    return line_problem(number, "uid and gid must be decimal numbers");
  }
  return "";
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

int AssignCompiler::next(std::string_view& key, std::string_view& value) {
  std::string_view line;
  bool ended = false;
  while (lines_.next(line, ended)) {
    ++number_;
    if (line == ".") return 0;
    if (line.empty() || (line[0] != '=' && line[0] != '+')) {
      problem_ = line_problem(number_, "an entry starts with \"=\" or \"+\"");
      return -1;
    }
    std::string_view fields[kAssignFields];
    bool split = split_entry(line.substr(1), fields);
    problem_ = check_entry(split, fields, number_);
    if (!problem_.empty()) return -1;
    key_.assign(1, line[0] == '=' ? '=' : '!');
    key_.append(fields[0]);
    value_.clear();
    for (size_t i = 1; i < kAssignFields; ++i) {
      value_.append(fields[i]);
      value_.push_back('\0');
    }
    key = key_;
    value = value_;
    return 1;
  }
  if (!lines_.failed()) problem_ = "users/assign does not end with a \".\" line";
  return -1;
}

KeyValuePairs compile_morercpthosts(const std::string& text) {
  KeyValuePairs pairs;
  ToolLines lines(text);
  std::string_view line;
  while (lines.next(line)) {
    if (is_blank(line) || line[0] == '#') continue;
    pairs.begin_key();
    for (char c : line) pairs.append(ascii_lower(c));
    pairs.begin_value();
    pairs.end();
  }
  return pairs;
}

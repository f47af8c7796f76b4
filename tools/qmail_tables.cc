#include "tools/qmail_tables.h"

#include <vector>

namespace {

// user, uid, gid, home, dash, ext: the fields after the address.
constexpr size_t kAssignFields = 7;

std::vector<std::string> split_colons(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    if (colon == std::string::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, colon - start));
    start = colon + 1;
  }
}

bool is_decimal(const std::string& text) {
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

// One entry line (after its "=" or "+"). Empty result when it is fine.
std::string check_entry(const std::vector<std::string>& fields, size_t number) {
  // Seven fields and a closing colon, which leaves an empty last piece.
  if (fields.size() != kAssignFields + 1 || !fields.back().empty()) {
    return line_problem(number, "wrong number of fields");
  }
  if (!is_decimal(fields[2]) || !is_decimal(fields[3])) {
    return line_problem(number, "uid and gid must be decimal numbers");
  }
  return "";
}

std::string entry_value(const std::vector<std::string>& fields) {
  std::string value;
  for (size_t i = 1; i < kAssignFields; ++i) {
    value += fields[i];
    value += '\0';
  }
  return value;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

bool compile_assign(const std::string& text, KeyValuePairs* pairs, std::string* problem) {
  pairs->clear();
  std::vector<std::string> lines = tool_lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line == ".") return true;
    if (line.empty() || (line[0] != '=' && line[0] != '+')) {
      *problem = line_problem(i + 1, "an entry starts with \"=\" or \"+\"");
      return false;
    }
    std::vector<std::string> fields = split_colons(line.substr(1));
    *problem = check_entry(fields, i + 1);
    if (!problem->empty()) return false;
    std::string key = (line[0] == '=' ? "=" : "!") + fields[0];
    pairs->emplace_back(std::move(key), entry_value(fields));
  }
  *problem = "users/assign does not end with a \".\" line";
  return false;
}

KeyValuePairs compile_morercpthosts(const std::string& text) {
  KeyValuePairs pairs;
  for (std::string& line : tool_lines(text)) {
    if (is_blank(line) || line[0] == '#') continue;
    for (char& c : line) c = ascii_lower(c);
    pairs.emplace_back(std::move(line), "");
  }
  return pairs;
}

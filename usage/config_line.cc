// One line of a configuration file: comments out, then a label declaration
// or a continuation, then the atom list, every name and value converted
// from its quoted and escaped form.
#include <cstdio>

#include "usage/config.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view skip_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view trim_trailing_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

void warn_unterminated() { fputs("config: warning: syntax error: unterminated literal", stdout); }

// Where `wanted` first stands outside quoted text, not escaped, or npos.
// Reaching the end inside quotes or after a lone backslash is warned
// about: such text will not convert.
size_t find_unquoted(std::string_view text, char wanted) {
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!quoted && c == '\\') {
      if (i + 1 == text.size()) {
        warn_unterminated();
        return std::string_view::npos;
      }
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == wanted) {
      return i;
    }
  }
  if (quoted) warn_unterminated();
  return std::string_view::npos;
}

// The line without its comments. A block comment left open is carried to
// the following lines (and files) in conf.flags; the text before it stays.
std::string strip_comments(config& conf, std::string_view line) {
  std::string kept;
  bool quoted = false;
  size_t i = 0;
  while (i < line.size()) {
    if (conf.flags & kConfigInComment) {
      size_t end = line.find("*/", i);
      if (end == std::string_view::npos) return kept;
      conf.flags &= ~kConfigInComment;
      i = end + 2;
      continue;
    }
    char c = line[i];
    std::string_view rest = line.substr(i);
    if (!quoted && c == '\\') {
      if (rest.size() == 1) warn_unterminated();
      kept += rest.substr(0, 2);
      i += 2;
      continue;
    }
    if (!quoted && rest.starts_with("//")) break;
    if (!quoted && rest.starts_with("/*")) {
      conf.flags |= kConfigInComment;
      i += 2;
      continue;
    }
    if (c == '"') quoted = !quoted;
    kept += c;
    ++i;
  }
  if (quoted) warn_unterminated();
  return kept;
}

// One atom: "name = value" or a bare value. An atom with neither name nor
// value is dropped.
bool parse_atom(config& conf, config_label& label, std::string_view text) {
  text = skip_blanks(text);
  config_atom atom;
  atom.line = conf.line;
  size_t equals = find_unquoted(text, '=');
  if (equals == std::string_view::npos) {
    if (!config_convert_literal(conf, text, atom.value)) return false;
    if (atom.value.empty()) return true;
  } else {
    if (!config_convert_literal(conf, trim_trailing_blanks(text.substr(0, equals)), atom.name) ||
        !config_convert_literal(conf, skip_blanks(text.substr(equals + 1)), atom.value))
      return false;
    if (atom.name.empty()) {
      printf("config: line %lu: syntax error: empty atom name\n", conf.line);
      return false;
    }
  }
  label.atoms.push_back(std::move(atom));
  return true;
}

// Atoms each ended by ';'; after the last one only blanks may follow.
bool parse_atoms(config& conf, config_label& label, std::string_view list) {
  for (size_t semi; (semi = find_unquoted(list, ';')) != std::string_view::npos;) {
    if (!parse_atom(conf, label, list.substr(0, semi))) return false;
    list.remove_prefix(semi + 1);
  }
  if (!skip_blanks(list).empty()) {
    printf("config: line %lu: syntax error: no terminating semi-colon\n", conf.line);
    return false;
  }
  return true;
}

bool parse_label(config& conf, std::string_view text) {
  size_t colon = find_unquoted(text, ':');
  if (colon == std::string_view::npos) {
    printf("config: line %lu: error: syntax error: invalid label declaration\n", conf.line);
    return false;
  }
  config_label label;
  if (!config_convert_literal(conf, text.substr(0, colon), label.name)) return false;
  if (label.name.empty()) {
    printf("config: line %lu: error: syntax error: empty label name\n", conf.line);
    return false;
  }
  label.path = conf.path;
  label.line = conf.line;
  conf.labels.push_back(std::move(label));
  conf.current_label = static_cast<long>(conf.labels.size()) - 1;
  return parse_atoms(conf, conf.labels.back(), skip_blanks(text.substr(colon + 1)));
}

}  // namespace

bool config_parse_line(config& conf, std::string_view line) {
  std::string text = strip_comments(conf, line);
  // A line of blanks holds nothing, wherever it stands.
  if (skip_blanks(text).empty()) return true;
  if (!is_blank(text.front())) return parse_label(conf, text);
  if (conf.current_label < 0) {
    printf("config: line %lu: error: syntax error (wrapping without a label)\n", conf.line);
    return false;
  }
  return parse_atoms(conf, conf.labels[conf.current_label], skip_blanks(text));
}

bool config_convert_literal(const config& conf, std::string_view text, std::string& out) {
  out.clear();
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted || c != '\\') {
      out += c;
    } else if (i + 1 == text.size()) {
      quoted = true;  // a lone backslash at the end: left open as well
    } else if (text[i + 1] >= '0' && text[i + 1] <= '9') {
      // Decimal digits name one byte; only its low 8 bits count.
      unsigned byte = 0;
      while (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9')
        byte = (byte * 10 + static_cast<unsigned>(text[++i] - '0')) & 0xff;
      out += static_cast<char>(byte);
    } else {
      out += text[++i];
    }
  }
  if (!quoted) return true;
  fputs("config: error: syntax error: unterminated literal", stdout);
  printf("config: line %lu: config_convert_literal failed\n", conf.line);
  return false;
}

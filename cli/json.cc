// JSON documents of the tool's output; see json.h.
#include "cli/json.h"

#include <cstdio>

namespace {

struct JsonState {
  bool wanted = false;
};
JsonState json_state;

constexpr const char* kReplacement = "\\ufffd";

// The bytes at text[pos] that stand together: a whole well-formed UTF-8
// sequence (valid), or else the longest start of one that the text holds
// there (at least one byte), which becomes a single U+FFFD, as decoders
// that follow Unicode's "maximal subpart" practice read it. The lead and
// second-byte ranges are those of RFC 3629, so overlong forms, surrogates
// and code points past U+10FFFF are never valid.
struct Utf8Piece {
  size_t length = 1;
  bool valid = false;
};

Utf8Piece utf8_piece(std::string_view text, size_t pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(pos);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return Utf8Piece{};
  }
  Utf8Piece piece;
  for (size_t i = 1; i < length; ++i, low = 0x80, high = 0xBF) {
    if (pos + i >= text.size() || byte(pos + i) < low || byte(pos + i) > high) return piece;
    piece.length = i + 1;
  }
  piece.valid = true;
  return piece;
}

void append_escaped_ascii(std::string& out, char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
    out += escaped;
    return;
  }
  out += c;
}

}  // namespace

std::string json_text(std::string_view text) {
  std::string out = "\"";
  for (size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      append_escaped_ascii(out, text[pos++]);
      continue;
    }
    Utf8Piece piece = utf8_piece(text, pos);
    if (piece.valid) {
      out.append(text, pos, piece.length);
    } else {
      out += kReplacement;
    }
    pos += piece.length;
  }
  return out + "\"";
}

JsonObject& JsonObject::member(std::string_view key, std::string_view json) {
  if (!members_.empty()) members_ += ",";
  members_ += json_text(key);
  members_ += ":";
  members_ += json;
  return *this;
}

JsonObject& JsonObject::text(std::string_view key, std::string_view value) {
  return member(key, json_text(value));
}

JsonObject& JsonObject::number(std::string_view key, int64_t value) {
  return member(key, std::to_string(value));
}

JsonObject& JsonObject::unsigned_number(std::string_view key, uint64_t value) {
  return member(key, std::to_string(value));
}

JsonObject& JsonObject::boolean(std::string_view key, bool value) {
  return member(key, value ? "true" : "false");
}

JsonObject& JsonObject::null(std::string_view key) { return member(key, "null"); }

JsonObject& JsonObject::optional_text(std::string_view key,
                                      const std::optional<std::string>& value) {
  return value ? text(key, *value) : null(key);
}

JsonObject& JsonObject::document(std::string_view key, std::string_view json) {
  return member(key, json);
}

std::string JsonObject::object() const { return "{" + members_ + "}"; }

std::string json_array(const std::vector<std::string>& documents) {
  std::string out = "[";
  for (size_t i = 0; i < documents.size(); ++i) {
    if (i > 0) out += ",";
    out += documents[i];
  }
  return out + "]";
}

std::string json_text_array(const std::vector<std::string>& texts) {
  std::vector<std::string> documents;
  documents.reserve(texts.size());
  for (const std::string& text : texts) documents.push_back(json_text(text));
  return json_array(documents);
}

void set_json_output(bool wanted) { json_state.wanted = wanted; }

bool json_output() { return json_state.wanted; }

void print_json(const std::string& document) {
  fwrite(document.data(), 1, document.size(), stdout);
  fputc('\n', stdout);
}

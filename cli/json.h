// The tool's machine-readable output: one JSON document per command, built
// from the same records the plain output prints.
//
// Texts are written as JSON strings with every quote, backslash and control
// character escaped; bytes that are not well-formed UTF-8 (a stray
// continuation byte, a cut or overlong sequence, a surrogate, a code point
// past U+10FFFF) become U+FFFD, one for each maximal ill-formed part (as
// most decoders replace them), so a stored name that is not UTF-8 still
// yields a document every parser accepts. Names and
// numbers go out as they are; nothing here can fail.
//
// Routines:
//   json_text       the quoted, escaped form of a text.
//   JsonObject      members in the order added; object() gives "{...}".
//   json_array      "[A,B,...]" of documents already built.
//   set_json_output / json_output   whether --json was given (process-wide).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string json_text(std::string_view text);

class JsonObject {
 public:
  JsonObject& text(std::string_view key, std::string_view value);
  JsonObject& number(std::string_view key, int64_t value);
  JsonObject& unsigned_number(std::string_view key, uint64_t value);
  JsonObject& boolean(std::string_view key, bool value);
  JsonObject& null(std::string_view key);
  // A text, or null when there is none.
  JsonObject& optional_text(std::string_view key, const std::optional<std::string>& value);
  // A member whose value is a document already built (array or object).
  JsonObject& document(std::string_view key, std::string_view json);
  std::string object() const;

 private:
  JsonObject& member(std::string_view key, std::string_view json);
  std::string members_;
};

std::string json_array(const std::vector<std::string>& documents);

// An array of texts.
std::string json_text_array(const std::vector<std::string>& texts);

void set_json_output(bool wanted);
bool json_output();

// Prints a document and its line end on stdout.
void print_json(const std::string& document);

// Where texts are shortened. Every text the system keeps has a field size,
// and a text longer than its field is cut silently; these two routines are
// the only places that do it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Keeps at most the first `limit` bytes of the text.
inline void cut_text(std::string& text, std::size_t limit) {
  if (text.size() > limit) text.resize(limit);
}

// What a field of `field_size` bytes holds of the text: field_size - 1
// characters, the last byte being the field's terminator.
inline std::string field_text(std::string_view text, std::size_t field_size) {
  if (field_size == 0) return std::string();
  return std::string(text.substr(0, field_size - 1));
}

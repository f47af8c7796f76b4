// Where texts are shortened. Every text the system keeps has a field size,
// and a text longer than its field is cut silently; these two routines are
// the only places that do it.
//
// Paths are the exception: a cut path names another file. store_path_fits
// is the one rule for them: a path that does not fit its field is never
// cut but refused, and the routine that built it fails as it fails for a
// file it cannot open, touching no file of any name.
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

// The longest path the store builds for itself (a 300-byte field).
inline constexpr std::size_t kStorePathMax = 299;

// Whether a path fits a field of `limit` characters and may be used; false:
// the caller refuses it whole.
inline bool store_path_fits(std::string_view path, std::size_t limit = kStorePathMax) {
  return path.size() <= limit;
}

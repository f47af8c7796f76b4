#include "web/escape.h"

namespace {

// The entity for a byte that must not reach a page as it stands, or nullptr.
const char* html_entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
  }
}

bool url_safe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_' || c == '.' || c == '~';
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char* entity = html_entity(c);
    if (entity != nullptr) {
      out += entity;
    } else {
      out += c;
    }
  }
  return out;
}

void print_html_escaped(std::string_view text, FILE* out) {
  // Plain runs go out in one call; only the few special bytes are replaced.
  size_t run_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity = html_entity(text[i]);
    if (entity == nullptr) continue;
    if (i > run_start) fwrite(text.data() + run_start, 1, i - run_start, out);
    fputs(entity, out);
    run_start = i + 1;
  }
  if (run_start < text.size()) fwrite(text.data() + run_start, 1, text.size() - run_start, out);
}

std::string url_encode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (url_safe(byte)) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

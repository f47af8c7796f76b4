// Language files: html/<language>, one "KEY text" line per translatable text.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "web/page.h"

namespace {

// The shared work buffer for the header copy and for language-file lines.
char language_work[kLanguageField];

bool has_dot_or_slash(std::string_view name) {
  return name.find_first_of("./") != std::string_view::npos;
}

// The text of a language line whose key equals `key`, or an empty view. The
// key is the first blank-separated word; the text runs from after the one
// blank that ends it to the newline. A key without text matches nothing.
std::string_view line_text(const char* line, std::string_view key) {
  const char* p = line;
  while (*p == ' ') ++p;
  const char* word = p;
  while (*p != '\0' && *p != ' ') ++p;
  if (*p != ' ' || std::string_view(word, static_cast<size_t>(p - word)) != key) return {};
  const char* text = p + 1;
  const char* end = std::strchr(text, '\n');
  size_t length = end != nullptr ? static_cast<size_t>(end - text) : std::strlen(text);
  return std::string_view(text, length);
}

// Searches the language file from its start; the view lives in the work
// buffer until the next lookup.
std::string_view find_language_text(std::string_view key) {
  if (page.language_file == nullptr) return {};
  std::rewind(page.language_file);
  while (std::fgets(language_work, sizeof language_work, page.language_file) != nullptr) {
    std::string_view text = line_text(language_work, key);
    if (!text.empty()) return text;
  }
  return {};
}

}  // namespace

bool open_language_file(std::string_view name) {
  if (has_dot_or_slash(name)) request_error("invalid language file");
  if (page.language_file != nullptr) return true;
  std::string path = field_text("html/" + std::string(name), kLanguageField - 1);
  // Only a plain file can be a language file, so a folder such as "images"
  // never shadows a real language further on; a link is refused outright.
  int fd = open_regular(path, false);
  if (fd < 0 && errno == ELOOP) request_error("invalid file");
  FILE* file = fd < 0 ? nullptr : stream_or_close(fd, "r");
  if (file == nullptr) return false;
  page.language_file = file;
  return true;
}

void select_language() {
  if (page.language_file != nullptr) std::fclose(page.language_file);
  page.language_file = nullptr;
  page.language_name.clear();
  const char* header = std::getenv("HTTP_ACCEPT_LANGUAGE");
  if (header != nullptr) {
    std::string copy = field_text(header, kLanguageField);
    // Words are separated by blanks, commas and newlines; quality values
    // mean nothing here and count as words of their own.
    size_t start = 0;
    while (start < copy.size()) {
      size_t end = copy.find_first_of(" ,\n", start);
      if (end == std::string::npos) end = copy.size();
      if (end > start) {
        std::string_view word(copy.data() + start, end - start);
        if (open_language_file(word)) {
          page.language_name = field_text(word, kLanguageField - 1);
          return;
        }
      }
      start = end + 1;
    }
  }
  page.language_name = "en";
  open_language_file("en");
}

void print_language_text(std::string_view key) {
  std::string_view text = find_language_text(key);
  if (!text.empty()) fwrite(text.data(), 1, text.size(), stdout);
}

std::string get_language_text(std::string_view key) {
  return std::string(find_language_text(key));
}

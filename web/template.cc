// The template engine: prints html/ files with their tokens replaced.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "web/escape.h"
#include "web/page.h"

namespace {

// A token's key bytes are read as they stand, even past the piece's end;
// these spare zero bytes keep such reads inside the buffer.
constexpr size_t kTokenSlack = 8;

void print_if_set(const std::string& text) {
  if (!text.empty()) print_html_escaped(text, stdout);
}

void print_code(char code) {
  switch (code) {
    case 'E': print_if_set(page.error_text); break;
    case 'G': print_if_set(page.acl_entry); break;
    case 'U': print_if_set(page.admin_user); break;
    case 'V': print_version_lines(); break;
    case 'W': print_message_list(stdout); break;
    default: break;  // an unknown code prints nothing
  }
}

void print_variable(std::string_view key) {
  const PageVar* var = find_page_var(key);
  if (var == nullptr || var->value.empty()) return;
  if (var->markup) {
    fwrite(var->value.data(), 1, var->value.size(), stdout);
  } else {
    print_html_escaped(var->value, stdout);
  }
}

// Prints one piece. Returns nothing: the piece ends at its terminator, and
// a token whose key runs over the terminator ends the piece as well.
void print_piece(const char* piece) {
  size_t i = 0;
  size_t run_start = 0;
  while (i < kTextField && piece[i] != '\0') {
    const char c = piece[i];
    if ((c != '#' && c != '$' && c != '%') || piece[i + 1] != '-') {
      ++i;
      continue;
    }
    fwrite(piece + run_start, 1, i - run_start, stdout);
    if (c == '#') {
      print_language_text(std::string_view(piece + i + 2, 3));
      i += 5;
    } else if (c == '$') {
      print_variable(std::string_view(piece + i + 2, 2));
      i += 4;
    } else {
      print_code(piece[i + 2]);
      i += 3;
    }
    run_start = i;
  }
  if (i > run_start) fwrite(piece + run_start, 1, i - run_start, stdout);
}

}  // namespace

void print_template(const char* path, bool end_process) {
  run_before_page();
  print_header();
  // The template is opened without following a link and judged by what was
  // opened, so no name swapped in after a look is ever read through.
  int fd = open_regular(path, false);
  if (fd < 0) {
    // A missing template or one replaced by a link means a broken or
    // tampered installation: stop without printing anything more.
    struct stat st;
    if (errno == ELOOP || lstat(path, &st) != 0) store_exit(255);
    // A folder (the fixed page "/show/" names html/ itself) reads as empty.
    if (S_ISDIR(st.st_mode)) {
      if (end_process) store_exit(0);
      return;
    }
  }
  FILE* file = fd < 0 ? nullptr : stream_or_close(fd, "r");
  if (file == nullptr) {
    fputs("Dag Nabit\n", stdout);
    print_fatal_page();
  }
  char piece[kTextField + kTokenSlack];
  for (;;) {
    std::memset(piece, 0, sizeof piece);
    // The piece that reaches the end of the file is left out: a last line
    // without a newline is never printed.
    if (std::fgets(piece, static_cast<int>(kTextField), file) == nullptr || std::feof(file)) {
      break;
    }
    print_piece(piece);
  }
  std::fclose(file);
  if (end_process) store_exit(0);
}

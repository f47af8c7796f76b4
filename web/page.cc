// The page state: texts, message list, page variables and error pages.
#include "web/page.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/error.h"
#include "base/version.h"
#include "web/escape.h"

PageState page{};

void init_page_state() {
  page.error_text.clear();
  page.admin_user.clear();
  page.acl_entry.clear();
  std::memset(page.message_list, 0, sizeof page.message_list);
  page.message_used = 0;
  page.vars.clear();
  page.before_page = nullptr;
  page.header_printed = false;
}

void print_header(int status) {
  if (page.header_printed) return;
  page.header_printed = true;
  const char* reason = nullptr;
  switch (status) {
    case kStatusBadRequest: reason = "Bad Request"; break;
    case kStatusForbidden: reason = "Forbidden"; break;
    case kStatusServerError: reason = "Internal Server Error"; break;
    default: break;
  }
  if (reason != nullptr) std::printf("Status: %d %s\n", status, reason);
  std::fputs("Content-type: text/html\n\n", stdout);
}

void set_before_page(void (*routine)()) { page.before_page = routine; }

void run_before_page() {
  void (*routine)() = page.before_page;
  page.before_page = nullptr;
  if (routine != nullptr) routine();
}

void print_final_page(const char* path) {
  print_template(path, true);
  // print_template ends the process itself when asked to; this only makes
  // the promise visible to the compiler.
  store_exit(0);
}

void show_error(std::string_view text, bool request_error, bool return_only) {
  page.error_text = field_text(text, kTextField);
  if (request_error) print_final_page("html/init_error.html");
  if (return_only) return;
  print_final_page("html/error.html");
}

void request_error(std::string_view text, int status) {
  print_header(status);
  show_error(text, true, false);
  store_exit(0);  // not reached: a request error always ends the process
}

void add_message(std::string_view text) {
  // Each message takes its length plus one "$"; the used count must stay
  // below the field size so the terminator after it always fits.
  const size_t free_bytes = kTextField - static_cast<size_t>(page.message_used);
  if (text.size() + 1 >= free_bytes) return;
  char* end = page.message_list + page.message_used;
  if (!text.empty()) std::memcpy(end, text.data(), text.size());
  end[text.size()] = '$';
  end[text.size() + 1] = '\0';
  page.message_used += static_cast<int32_t>(text.size() + 1);
}

void print_message_list(FILE* out) {
  if (page.message_used == 0) return;
  char* part = page.message_list;
  for (char* sep = std::strchr(part, '$'); sep != nullptr; sep = std::strchr(part, '$')) {
    *sep = '\0';
    print_html_escaped(part, out);
    fputs("<BR>", out);
    part = sep + 1;
  }
  print_html_escaped(part, out);
  fputs("<BR>", out);
}

PageVar* find_page_var(std::string_view key) {
  for (PageVar& var : page.vars) {
    if (std::string_view(var.key, 2) == key) return &var;
  }
  return nullptr;
}

namespace {

// The stored form of a key: its first two characters, padded with
// terminators when the caller gave fewer.
std::string_view var_key(std::string_view key, char (&buffer)[3]) {
  std::memset(buffer, 0, sizeof buffer);
  if (!key.empty()) std::memcpy(buffer, key.data(), key.size() < 2 ? key.size() : 2);
  return std::string_view(buffer, 2);
}

void store_page_var(std::string_view key, std::string_view value, bool markup) {
  char key_buffer[3];
  std::string_view stored_key = var_key(key, key_buffer);
  try {
    PageVar* var = find_page_var(stored_key);
    if (var != nullptr) {
      var->value.assign(value);
      var->markup = markup;
      return;
    }
    if (value.empty()) return;
    PageVar added{{key_buffer[0], key_buffer[1], '\0'}, std::string(value), markup};
    page.vars.push_back(std::move(added));
  } catch (const std::bad_alloc&) {
    show_error("Out of memory", false, false);
  }
}

}  // namespace

void set_page_var(std::string_view key, std::string_view value) {
  store_page_var(key, value, false);
}

void set_page_markup(std::string_view key, std::string_view value) {
  store_page_var(key, value, true);
}

const std::string* get_page_var(std::string_view key) {
  if (key.size() != 2) return nullptr;
  const PageVar* var = find_page_var(key);
  return var != nullptr ? &var->value : nullptr;
}

void print_version_lines() {
  // Program first, then the mail-domain library it drives.
  std::printf("<a href=https://larkspur-mail.org/>larkspur</a> %s<BR>\n"
              "<a href=https://larkspur-mail.org/tessera/>tessera</a> %s<BR>\n",
              kLarkspurVersion, kTesseraVersion);
}

void print_fatal_page() {
  fputs("<HTML><HEAD><TITLE>Fatal Error</TITLE><link href=\"/images/larkspur/larkspur.css\" "
        "rel=\"stylesheet\" rev=\"stylesheet\" type=\"text/css\" media=\"all\"></HEAD><BODY>\n"
        "<CENTER>Fatal Error</CENTER>\n"
        "<PRE>\n"
        "An unrecoverable, fatal error has occured.  Please e-mail\n"
        "the webmaster immediately and report this error, as it will\n"
        "continue to occur.\n"
        "</PRE></BODY></HTML>",
        stdout);
  store_exit(1);
}

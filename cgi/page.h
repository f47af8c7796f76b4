// The page state of one request and the template engine that prints it.
//
// One request is one process, so the state is one process-wide struct:
// the error text, the administrator's name, the access-list entry, the
// message list, the page variables and the language file. Handlers fill
// variables and messages, then print one template and end the process.
//
// Every text that came from outside (a request, a file, the environment)
// is HTML-escaped when a template prints it; only page variables set with
// set_page_markup (markup the program built itself) and language texts are
// printed as they stand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Front-end texts live in 500-byte fields: at most 499 characters.
inline constexpr size_t kTextField = 500;

// Cuts a text to what a field of `field_size` bytes holds (field_size - 1
// characters). The one place where a front-end text is shortened.
std::string cut_text(std::string_view text, size_t field_size);

struct PageVar {
  char key[3];        // exactly two characters and a terminator
  std::string value;  // may be empty once it existed
  bool markup;        // printed as it stands instead of escaped
};

struct PageState {
  std::string error_text;  // "%-E"
  std::string admin_user;  // "%-U"
  std::string acl_entry;   // "%-G"
  char message_list[kTextField];  // messages, each followed by "$"
  int32_t message_used;
  std::vector<PageVar> vars;  // insertion order
  FILE* language_file;
  std::string language_name;
};

extern PageState page;

// Empties the four texts and the message list, drops every page variable.
void init_page_state();

// Prints html/... with its tokens replaced. A missing template or a
// symbolic link ends the process with status 255; one that exists but will
// not open prints "Dag Nabit" and the fatal page (status 1). With
// end_process set, the process ends with status 0 after the file.
void print_template(const char* path, bool end_process);

// Copies the text (cut to 499 characters) into error_text. request_error:
// prints html/init_error.html and ends. Otherwise return_only: returns.
// Otherwise prints html/error.html and ends.
void show_error(std::string_view text, bool request_error, bool return_only);

// Ends the request with a request error (html/init_error.html).
[[noreturn]] void request_error(std::string_view text);

// Appends a message; one that does not fit any more is dropped silently.
void add_message(std::string_view text);

// Sets a page variable (first two characters of key). Setting an unset
// variable to "" creates nothing; an existing one keeps the empty value.
void set_page_var(std::string_view key, std::string_view value);

// The same for a value that is markup built by the program itself.
void set_page_markup(std::string_view key, std::string_view value);

// The value of the variable with exactly this key, or nullptr.
const std::string* get_page_var(std::string_view key);

// Opens the language file chosen by HTTP_ACCEPT_LANGUAGE (default "en").
void select_language();

// Opens html/<name> as the language file unless one is open. A name with
// "." or "/" is the request error "invalid language file"; a symbolic link
// is "invalid file". Returns whether a language file is open.
bool open_language_file(std::string_view name);

// Prints / returns the text of a three-character language key ("" when
// there is no file, no such line or no text).
void print_language_text(std::string_view key);
std::string get_language_text(std::string_view key);

// Prints the two version lines (program and library).
void print_version_lines();

// Prints the fixed fatal-error page and ends the process with status 1.
[[noreturn]] void print_fatal_page();

// The page state of one request and the template engine that prints it.
//
// One request is one process, so the state is one process-wide struct:
// the error text, the administrator's name, the access-list entry, the
// message list, the page variables and the language file. Handlers fill
// variables and messages, then print one template and end the process.
//
// Every text that came from outside (a request, a file, the environment)
// is HTML-escaped when a template prints it: "%-E", "%-U", "%-G", every
// message of "%-W" and every "$-" page variable. Only page variables set
// with set_page_markup (markup the program built itself, whose untrusted
// parts the caller has escaped) and language texts print as they stand.
//
// Templates: "html/NAME" under the working directory, read in pieces of at
// most 499 bytes (one line, or part of a longer one). A piece that reaches
// the end of the file is not printed, so a last line without a newline never
// shows. Tokens inside a piece:
//   "#-KKK" the language text of key KKK
//   "$-KK"  page variable KK, when set and not empty
//   "%-C"   E error text, G access-list entry, U administrator, V version
//           lines, W message list; any other code prints nothing
// A token cut in two by a piece boundary is not recognised.
//
// Process endings: 0 after a page printed with end_process, 255 when a
// template is missing or a symbolic link (nothing more is printed), 1 after
// "Dag Nabit" and the fatal page when a template exists but will not open.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

// Front-end texts live in 500-byte fields: at most 499 characters.
inline constexpr size_t kTextField = 500;

// The language name and the language work buffer: 200-byte fields.
inline constexpr size_t kLanguageField = 200;


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
  int32_t message_used;           // never above 499: a terminator always fits
  std::vector<PageVar> vars;      // insertion order
  FILE* language_file;            // nullptr: every language text is empty
  std::string language_name;
  void (*before_page)();          // run once before a page body; nullptr: none
  bool header_printed;            // the CGI header is out: its status is fixed
};

// The statuses a response carries besides 200: a malformed request, a
// refused one, and a fault of the installation.
inline constexpr int kStatusBadRequest = 400;
inline constexpr int kStatusForbidden = 403;
inline constexpr int kStatusServerError = 500;

extern PageState page;

// Empties the four texts and the message list, drops every page variable.
void init_page_state();

// Prints the CGI header once, before anything else of the response:
// "Status: N TEXT\n" for a status other than 200, then
// "Content-type: text/html\n\n". Later calls print nothing, so the status
// of a response is the one in force when its first byte was due: a request
// error after a handler began keeps the 200 already sent.
void print_header(int status = 200);

// Prints html/... with its tokens replaced (the header first, if not yet). With end_process set, the
// process ends with status 0 after the file; otherwise it returns. See the
// contract above for the endings of a missing or unopenable template.
// Before anything of the page is printed, the before_page routine runs
// once (run_before_page).
void print_template(const char* path, bool end_process);

// Arms a routine to run just before the first byte of the page body:
// whatever must be on disk before the client sees the result, and before a
// client that hangs up or a kill can end the process. It may still add
// messages to the page. One routine at a time; nullptr disarms.
void set_before_page(void (*routine)());

// Runs the armed routine, if any, and disarms it, so it runs at most once
// whichever page comes first.
void run_before_page();

// print_template with end_process set, for callers that must not go on.
[[noreturn]] void print_final_page(const char* path);

// Copies the text (cut to 499 characters) into error_text. request_error:
// prints html/init_error.html and ends. Otherwise return_only: returns.
// Otherwise prints html/error.html and ends.
void show_error(std::string_view text, bool request_error, bool return_only);

// Ends the request with a request error (html/init_error.html), answered
// with status (when the header is not out yet).
[[noreturn]] void request_error(std::string_view text, int status = kStatusBadRequest);

// Appends a message; one that does not fit any more is dropped silently
// (a later, shorter one may still fit).
void add_message(std::string_view text);

// Prints the message list: each part between "$" separators followed by
// "<BR>", the empty part after the last separator included. Printing turns
// the separators into terminators, so a second call prints only the first
// message.
void print_message_list(FILE* out);

// Sets a page variable (first two characters of key). Setting an unset
// variable to "" creates nothing; an existing one keeps the empty value.
// A memory failure prints html/error.html with "Out of memory".
void set_page_var(std::string_view key, std::string_view value);

// The same for a value that is markup built by the program itself.
void set_page_markup(std::string_view key, std::string_view value);

// The value of the variable with exactly this key, or nullptr.
const std::string* get_page_var(std::string_view key);

// The variable whose two key bytes equal `key` (which may hold bytes a
// template token took as they stood), or nullptr.
PageVar* find_page_var(std::string_view key);

// Opens the language file chosen by HTTP_ACCEPT_LANGUAGE (default "en").
// A word with "." or "/" tried before any file opened ends the request.
void select_language();

// Opens html/<name> as the language file unless one is open. A name with
// "." or "/" is the request error "invalid language file"; a symbolic link
// is "invalid file". Anything but a plain file (a missing file, a folder)
// does not open. Returns whether a language file is open.
bool open_language_file(std::string_view name);

// Prints / returns the text of a three-character language key ("" when
// there is no file, no such line or no text).
void print_language_text(std::string_view key);
std::string get_language_text(std::string_view key);

// Prints the two version lines (program and library).
void print_version_lines();

// Prints the fixed fatal-error page and ends the process with status 1.
[[noreturn]] void print_fatal_page();

// The CGI request taken apart: the captured environment, the method, the
// raw form text and the form variables built from it.
//
// Form text is split first: a name runs to the first "=" ("&" before it
// belongs to the name), its value to the next "&"; a piece without "=" at
// the end gives no variable. Then each name and value is percent-decoded in
// place: "%XX" with two upper-case hex digits is one byte; any other digit
// pair gives the byte 0, which ends the text there (the variable being
// decoded keeps what came before; later ones are lost). "+" is a blank. A
// decoded "&" or "=" is text of its field, never a separator.
//
// Form variables point into the decoded form text; they live until the
// process ends. Every failure here ends the request with its error page.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// POST bodies: CONTENT_LENGTH up to this is read whole; anything longer is
// read as kBodyCutLength bytes.
inline constexpr int64_t kBodyLimit = 10000;
inline constexpr int64_t kBodyCutLength = 9999;

struct FormVar {
  char* name;   // into the decoded form text
  char* value;  // never null; "" for "name="
};

struct RequestState {
  std::vector<std::pair<std::string, std::string>> environment;  // in order
  char* form_input = nullptr;
  int32_t form_length = 0;
  std::vector<FormVar> form_vars;  // input order
  bool body_cut = false;  // a POST body longer than kBodyLimit, read cut
  bool post = false;      // the form came as a POST body, not a query string
};

extern RequestState request;

// Copies the process environment, in order, as name/value pairs.
void capture_environment();

// The value of the first captured pair with exactly this name, or nullptr.
const char* env_value(const char* name);

// Step 4 of a request: environment, REMOTE_USER, access list, scope file
// (web/scope.h), method, form input, form variables. Returns only when the form variables are built. A
// POST body is read until CONTENT_LENGTH bytes (as cut by body_length) have
// come or the input ends: web servers pass a body in several writes, so
// only a body that ends short is "Invalid content length".
// Failures: "Username unknown" (html/auth_failed.html), then as request
// errors "Unknown request method", "Unsupported request method", "No Query
// String", "Unknown content", "Invalid content length", "Out of memory".
void read_request();

// The number of body bytes to read for a CONTENT_LENGTH text: 0 when it is
// not above 0 (the caller's "Invalid content length"), the value itself up
// to kBodyLimit, kBodyCutLength above it.
int32_t body_length(const char* content_length);

// Splits text into request.form_vars and percent-decodes each part in place.
void parse_form(char* text);

// Two upper-case hexadecimal digits as one byte; 0 for any other digit.
unsigned char hex_pair(char high, char low);

// The value of the first form variable with exactly this name, or nullptr
// when the request has none (an empty value is "", not nullptr).
char* form_value(const char* name);

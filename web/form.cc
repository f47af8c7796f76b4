#include "web/form.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "web/acl.h"
#include "web/scope.h"
#include "web/page.h"

extern char** environ;

RequestState request;

void capture_environment() {
  request.environment.clear();
  try {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      const char* text = *entry;
      const char* equals = std::strchr(text, '=');
      if (equals == nullptr) {
        request.environment.emplace_back(text, "");
      } else {
        request.environment.emplace_back(std::string(text, static_cast<size_t>(equals - text)),
                                         std::string(equals + 1));
      }
    }
  } catch (const std::bad_alloc&) {
    request_error("Out of memory", kStatusServerError);
  }
}

const char* env_value(const char* name) {
  for (const auto& [env_name, value] : request.environment) {
    if (env_name == name) return value.c_str();
  }
  return nullptr;
}

unsigned char hex_pair(char high, char low) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  int h = digit(high);
  int l = digit(low);
  if (h < 0 || l < 0) return 0;
  return static_cast<unsigned char>(h * 16 + l);
}

namespace {

// Decodes one name or value in place. A decoded byte is never looked at
// again. "+" is a blank, as browsers encode one (a typed "+" arrives as
// %2B). False when a pair decodes to the byte 0: that ends the whole form
// text there, so the caller keeps what came before and stops.
bool percent_decode(char* text) {
  char* in = text;
  char* out = text;
  while (*in != '\0') {
    if (in[0] == '+') {
      *out++ = ' ';
      ++in;
    } else if (in[0] == '%' && in[1] != '\0' && in[2] != '\0') {
      *out = static_cast<char>(hex_pair(in[1], in[2]));
      if (*out == '\0') return false;
      ++out;
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
  return true;
}

// Splits on the separators as they arrived and only then decodes each name
// and value: a typed "&" or "=" comes from the browser as %26 or %3D and so
// stays inside its own field. Decoding first would let the text of one
// field add fields of its own (a full name "x&ukestrel=" would tick the
// domain-administrator box), and no link value could carry an "&".
void split_form(char* text) {
  char* position = text;
  while (*position != '\0') {
    char* equals = std::strchr(position, '=');
    if (equals == nullptr) return;  // a last piece without "=" is no variable
    *equals = '\0';
    char* value = equals + 1;
    char* ampersand = std::strchr(value, '&');
    if (ampersand != nullptr) *ampersand = '\0';
    if (!percent_decode(position)) return;  // the name ends before its "="
    bool whole = percent_decode(value);
    request.form_vars.push_back(FormVar{position, value});
    if (!whole || ampersand == nullptr) return;
    position = ampersand + 1;
  }
}

// GET: the query string itself, decoded where it lies.
void read_query_string() {
  char* query = std::getenv("QUERY_STRING");
  if (query == nullptr) request_error("No Query String");
  request.form_input = query;
  request.form_length = static_cast<int32_t>(std::strlen(query));
}

// Reads until `length` bytes have come or the input ends; the count read.
// A web server may pass the body in pieces (8 KiB blocks, or as the client
// sends it), so one read may return only the first of them.
ssize_t read_body(char* body, size_t length) {
  size_t got = 0;
  while (got < length) {
    ssize_t part = read(STDIN_FILENO, body + got, length - got);
    if (part < 0 && errno == EINTR) continue;
    if (part <= 0) break;
    got += static_cast<size_t>(part);
  }
  return static_cast<ssize_t>(got);
}

// POST: the announced length, read whole; a body that ends short is refused.
void read_post_body() {
  const char* content_length = env_value("CONTENT_LENGTH");
  if (content_length == nullptr) request_error("Unknown content");
  int32_t length = body_length(content_length);
  request.body_cut = std::strtoll(content_length, nullptr, 10) > kBodyLimit;
  if (length <= 0) request_error("Invalid content length");
  char* body = static_cast<char*>(std::calloc(static_cast<size_t>(length) + 1, 1));
  if (body == nullptr) request_error("Out of memory", kStatusServerError);
  ssize_t got = read_body(body, static_cast<size_t>(length));
  if (got != length) request_error("Invalid content length");
  request.form_input = body;
  request.form_length = length;
}

}  // namespace

int32_t body_length(const char* content_length) {
  // strtoll saturates instead of overflowing, so a huge length is simply
  // "too long" and a huge negative one "not above 0".
  long long value = std::strtoll(content_length, nullptr, 10);
  if (value <= 0) return 0;
  if (value > kBodyLimit) return static_cast<int32_t>(kBodyCutLength);
  return static_cast<int32_t>(value);
}

void parse_form(char* text) {
  request.form_vars.clear();
  try {
    split_form(text);
  } catch (const std::bad_alloc&) {
    request_error("Out of memory", kStatusServerError);
  }
}

char* form_value(const char* name) {
  for (const FormVar& var : request.form_vars) {
    if (std::strcmp(var.name, name) == 0) return var.value;
  }
  return nullptr;
}

void read_request() {
  capture_environment();
  const char* user = env_value("REMOTE_USER");
  if (user == nullptr) {
    show_error("Username unknown", false, true);
    print_final_page("html/auth_failed.html");
  }
  page.admin_user = field_text(user, kTextField);
  // The access list is read before the method is looked at: an unreadable
  // list stops every request, whatever it asks for.
  acl_init();
  scope_init();
  const char* method = env_value("REQUEST_METHOD");
  if (method == nullptr) request_error("Unknown request method");
  if (strcasecmp(method, "POST") == 0) {
    request.post = true;
    read_post_body();
  } else if (strcasecmp(method, "GET") == 0) {
    read_query_string();
  } else {
    request_error("Unsupported request method");
  }
  parse_form(request.form_input);
}

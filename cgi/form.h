// The CGI request taken apart: the captured environment, the method, the
// raw form text and the form variables built from it.
//
// Form variables point into the decoded form text; they live until the
// process ends. Every failure here ends the request with its error page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FormVar {
  char* name;   // into the decoded form text
  char* value;  // never null; "" for "name="
};

struct RequestState {
  std::vector<std::pair<std::string, std::string>> environment;  // in order
  char* form_input = nullptr;
  int32_t form_length = 0;
  std::vector<FormVar> form_vars;  // input order
};

extern RequestState request;

// Copies the process environment, in order, as name/value pairs.
void capture_environment();

// The value of the first captured pair with exactly this name, or nullptr.
const char* env_value(const char* name);

// Step 4 of a request: environment, REMOTE_USER, access list, method, form
// input, form variables. Returns only when the form variables are built.
void read_request();

// Percent-decodes text in place and splits it into request.form_vars.
void parse_form(char* text);

// Two upper-case hexadecimal digits as one byte; 0 for any other digit.
unsigned char hex_pair(char high, char low);

// The value of the first form variable with exactly this name, or nullptr
// when the request has none (an empty value is "", not nullptr).
char* form_value(const char* name);

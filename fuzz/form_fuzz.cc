// Form decoding: the CONTENT_LENGTH text and the form text, split into
// variables, then looked up as the handlers look them up.
#include <cstring>
#include <string>

#include "fuzz/fuzz_common.h"
#include "web/form.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(fuzz_bytes(data, size));
  int32_t length = body_length(text.c_str());
  fuzz_require(length >= 0 && length <= kBodyLimit, "body length within the limit");
  request.form_vars.clear();
  parse_form(text.data());
  for (const FormVar& var : request.form_vars) {
    fuzz_require(var.name != nullptr && var.value != nullptr, "variables point into the text");
    fuzz_require(var.name >= text.data() && var.name <= text.data() + text.size(),
                 "a name lies inside the decoded text");
  }
  for (const char* name : {"nav", "eaddr", "cpass", ""}) form_value(name);
  request.form_vars.clear();
  return 0;
}

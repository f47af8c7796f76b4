// Templates with language files: the first half of the input is a
// template, the second a language file; both are printed with page
// variables set, as a page would be.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_common.h"
#include "web/page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    std::filesystem::create_directories(fuzz_root() + "/www/html");
    if (chdir((fuzz_root() + "/www").c_str()) != 0) return false;
    return freopen("/dev/null", "w", stdout) != nullptr;
  }();
  fuzz_require(ready, "a working folder for templates");
  std::string_view bytes = fuzz_bytes(data, size);
  fuzz_write("html/fuzz.html", bytes.substr(0, size / 2));
  fuzz_write("html/xx", bytes.substr(size / 2));
  init_page_state();
  open_language_file("xx");
  set_page_var("DN", "<b>&example.com</b>");
  set_page_var("XX", std::string(bytes.substr(0, 600)));
  add_message(bytes.substr(0, 100));
  print_template("html/fuzz.html", false);
  get_language_text(bytes.substr(0, 3));
  fflush(stdout);
  return 0;
}

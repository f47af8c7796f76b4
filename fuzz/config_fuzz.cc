// The configuration language: a file loads or is refused with a
// "config: " message; a loaded one answers lookups. Literals are converted
// on their own too.
#include <cstdio>
#include <string>

#include "fuzz/fuzz_common.h"
#include "usage/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
  fuzz_require(quiet, "messages go nowhere");
  std::string path = fuzz_root() + "/tmeterc.conf";
  fuzz_write(path, fuzz_bytes(data, size));
  if (config* conf = config_load(path.c_str())) {
    for (const char* label : {"Server", "include", ""}) {
      for (const char* atom : {"Remote", "Filename", "Timeout", ""}) config_lookup(conf, label, atom);
    }
    config_free(conf);
  }
  config conf;
  std::string out;
  config_convert_literal(conf, fuzz_bytes(data, size), out);
  return 0;
}

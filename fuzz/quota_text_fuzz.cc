// Quota texts: typed input normalised to a quota text, and quota texts
// split into their limits. A normalised text parses into the limits it
// names, and normalising it again changes nothing.
#include <string>

#include "fuzz/fuzz_common.h"
#include "quota/maildir_quota.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(fuzz_bytes(data, size));
  uint64_t bytes_limit = 0, count_limit = 0;
  parse_quota_spec(text.c_str(), &bytes_limit, &count_limit);
  std::string normal = format_quota_spec(text);
  if (!normal.empty() && normal != "NOQUOTA") {
    uint64_t again_bytes = 0, again_count = 0;
    parse_quota_spec(normal.c_str(), &again_bytes, &again_count);
    fuzz_require(format_quota_spec(normal) == normal, "a quota text is its own normal form");
  }
  return 0;
}

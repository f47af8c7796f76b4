// The scope file: every line of the input goes through the line splitter,
// and the domains of each entry are checked against what the splitter
// promises (never empty). A malformed line ends the request by design, so
// the file reader itself is not fed.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "web/scope.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes = fuzz_bytes(data, size);
  while (!bytes.empty()) {
    size_t end = std::min(bytes.find('\n'), bytes.size());
    std::string name;
    std::vector<std::string> domains;
    if (split_scope_line(bytes.substr(0, end), &name, &domains) == ScopeLine::kEntry) {
      if (name.empty() || domains.empty()) std::abort();
      for (const std::string& domain : domains) {
        if (domain.empty()) std::abort();
      }
    }
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
  }
  return 0;
}

// The access list: each line of the input that has the shape the reader
// accepts (two blanks) is parsed as an entry; the rights field alone is
// parsed from every line. A malformed line ends the request by design, so
// it is not fed to the entry parser.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_common.h"
#include "web/acl.h"
#include "web/page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  init_page_state();
  page.admin_user = "alice";
  acl = AclState{};
  std::string_view bytes = fuzz_bytes(data, size);
  while (!bytes.empty()) {
    size_t end = std::min(bytes.find('\n'), bytes.size());
    std::string line(bytes.substr(0, std::min<size_t>(end, kAclPiece - 1)));
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    rights_from_field(line.c_str());
    if (std::count(line.begin(), line.end(), ' ') == 2 && line.find('\0') == std::string::npos) {
      parse_acl_line(line.data());
    }
  }
  return 0;
}

// Password lines: a domain's tpasswd holding anything is listed line by
// line until its end or the first line the listing refuses.
#include <string>

#include "accounts/passwd.h"
#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write(fuzz_domain_dir() + "/tpasswd", fuzz_bytes(data, size));
  const DomainName domain("example.com");
  size_t listed = 0;
  PasswdListing listing(domain);
  for (const password_record* record = listing.next(); record != nullptr;
       record = listing.next()) {
    fuzz_require(record->name.find(':') == std::string::npos, "a name never holds a colon");
    ++listed;
  }
  fuzz_require(listed <= size, "no more records than bytes");
  return 0;
}

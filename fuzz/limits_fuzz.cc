// The domain limits file: whatever it holds, reading it gives a record
// whose canonical text reads back into the same record.
#include "domains/limits.h"
#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_domain_dir() + "/.kestrel-limits";
  fuzz_write(path, fuzz_bytes(data, size));
  domain_limits read;
  if (read_limits_file(path, read) != 0) return 0;
  fuzz_write(path, format_limits(read));
  domain_limits again;
  fuzz_require(read_limits_file(path, again) == 0, "the canonical text reads");
  fuzz_require(again == read, "the canonical text reads back into the same record");
  return 0;
}

// The hashed-directory control file: whatever it holds, the record read
// from it advances without leaving its alphabet or its path limit.
#include <unistd.h>

#include <string>

#include "domains/dir_control.h"
#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write(fuzz_domain_dir() + "/.dir-control", fuzz_bytes(data, size));
  DirControl record;
  if (read_dir_control(record, "example.com", getuid()) != 0) return 0;
  for (int step = 0; step < 70; ++step) {
    dir_control_advance(record);
    fuzz_require(record.path.size() <= kDirControlPathMax, "the path stays within its limit");
  }
  return 0;
}

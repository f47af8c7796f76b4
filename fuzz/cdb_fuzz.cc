// The constant database reader over arbitrary bytes: a lookup finds,
// misses or fails, and a found value lies inside the file.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "cdb/cdb.h"
#include "fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_root() + "/fuzz.cdb";
  std::string_view bytes = fuzz_bytes(data, size);
  fuzz_write(path, bytes);
  int fd = open(path.c_str(), O_RDONLY);
  fuzz_require(fd >= 0, "the database opens");
  // Keys: the empty one, a usual one and a few bytes of the input itself.
  for (std::string_view key : {std::string_view(), std::string_view("!example.com-"),
                               bytes.substr(size > 2048 ? 2048 : size, 8)}) {
    uint32_t length = 0;
    int found = cdb_lookup(fd, key.data(), key.size(), &length);
    fuzz_require(found >= -1 && found <= 1, "a lookup finds, misses or fails");
    if (found == 1) {
      off_t at = lseek(fd, 0, SEEK_CUR);
      fuzz_require(at >= 0 && static_cast<uint64_t>(at) + length <= size,
                   "a found value lies inside the file");
    }
  }
  close(fd);
  return 0;
}

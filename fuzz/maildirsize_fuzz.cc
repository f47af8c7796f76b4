// maildirsize: any content reads into sums or is refused (and then
// removed); it never crashes the reader.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fuzz/fuzz_common.h"
#include "quota/maildir_quota.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string maildir = fuzz_domain_dir() + "/fuzz/Maildir";
  static bool made = std::filesystem::create_directories(maildir) || true;
  fuzz_require(made, "a maildir");
  std::string path = maildir + "/maildirsize";
  fuzz_write(path, fuzz_bytes(data, size));
  int fd = -1;
  uint64_t bytes = 0, count = 0;
  int lines = 0;
  struct stat status;
  if (read_maildirsize(path, &fd, &bytes, &count, &lines, &status) == 0) {
    fuzz_require(fd >= 0 && lines >= 0, "an accepted file is open");
    close(fd);
  }
  return 0;
}

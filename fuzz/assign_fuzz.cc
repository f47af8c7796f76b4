// Assignment lines, read twice: by the store's table iterator and by the
// qmail-newu stand-in that compiles them. Neither may crash, and every
// entry the iterator yields has a name and a directory.
#include <filesystem>
#include <string>

#include "base/site.h"
#include "domains/assign.h"
#include "fuzz/fuzz_common.h"
#include "tools/qmail_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_root();
  std::string path = qmail_assign_file() + ".fuzz";
  std::string_view bytes = fuzz_bytes(data, size);
  // Both read the live table: swap the fuzz text in, then back.
  std::string live = qmail_assign_file();
  std::filesystem::rename(live, path);
  fuzz_write(live, bytes);
  fuzz_compile_assign(live, fuzz_root() + "/fuzz-users.cdb");
  const DomainName all;
  AssignEntries entries(all);
  for (const AssignEntry* entry = entries.next(); entry != nullptr; entry = entries.next()) {
  }
  std::filesystem::rename(path, live);
  return 0;
}

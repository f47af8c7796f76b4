#include "fuzz/fuzz_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/site.h"
#include "cdb/cdb.h"
#include "domains/assign.h"
#include "tools/qmail_tables.h"

namespace fs = std::filesystem;

namespace {

struct FuzzStore {
  std::string root;
  std::string domain_dir;

  FuzzStore() {
    std::string base = (fs::temp_directory_path() / "larkspur-fuzz-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) abort();
    root = base;
    domain_dir = root + "/usr/local/tessera/domains/example.com";
    for (const char* dir : {"/var/qmail/users", "/var/qmail/control", "/usr/local/tessera/etc"}) {
      fs::create_directories(root + dir);
    }
    fs::create_directories(domain_dir);
    site_set_root(root);
    // The assignment table and its database, as qmail-newu would leave them.
    std::string assign = "+example.com-:example.com:" + std::to_string(getuid()) + ":" +
                         std::to_string(getgid()) + ":" + domain_dir + ":-::\n.\n";
    fuzz_write(qmail_assign_file(), assign);
    if (fuzz_compile_assign(qmail_assign_file(), qmail_users_cdb()) != 0) abort();
  }
  ~FuzzStore() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

FuzzStore& store() {
  static FuzzStore made;
  return made;
}

}  // namespace

int fuzz_compile_assign(const std::string& assign, const std::string& database) {
  int fd = open(assign.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  AssignCompiler compiler(fd);
  cdb_source source = [&](std::string_view& key, std::string_view& value) {
    return compiler.next(key, value);
  };
  int built = cdb_build(source, database + ".tmp", database);
  close(fd);
  return built;
}

const std::string& fuzz_root() { return store().root; }
const std::string& fuzz_domain_dir() { return store().domain_dir; }

void fuzz_write(const std::string& path, std::string_view bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) abort();
  if (fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0) abort();
}

void fuzz_require(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

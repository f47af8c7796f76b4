// Times "tessera user import" of a CSV file of new mailboxes into one domain
// as a whole process, with its wall and CPU time, and checks afterwards that
// every row made its mailbox.
//
//   import_bench [rows] [directory]   (defaults: 10,000 rows, $TMPDIR or /tmp;
//                                      BENCH_KEEP=1 keeps the sandbox)
//
// Every row names a password and a full name; every tenth also a quota, so
// the rows with a maildirsize of their own are timed too. The domain starts
// empty.
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/bench_common.h"

namespace {

using namespace bench;

constexpr const char* kDomain = "bench.example";

std::string write_rows(const std::string& path, int rows) {
  std::ofstream csv(path, std::ios::binary);
  csv << "address,password,full name,quota\n";
  for (int i = 0; i < rows; ++i) {
    char name[16];
    snprintf(name, sizeof name, "m%06d", i);
    csv << name << '@' << kDomain << ",pw" << i << ",Mailbox " << i;
    if (i % 10 == 0) csv << ",10MB";
    csv << '\n';
  }
  return path;
}

// The lines of the domain's password file.
int password_lines(const std::string& root) {
  for (const auto& entry : fs::recursive_directory_iterator(root + "/usr/local/tessera/domains")) {
    if (entry.path().filename() != "tpasswd") continue;
    std::ifstream in(entry.path());
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) ++lines;
    return lines;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rows = argc > 1 ? atoi(argv[1]) : 10000;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 2 ? argv[2] : tmp ? tmp : "/tmp";
  std::string tessera = build_dir() + "/tessera";
  std::string root = parent + "/import-bench-" + std::to_string(rows);
  make_store_skeleton(root);
  std::ofstream(root + "/usr/local/tessera/etc/tlimits.default") << "# no limits\n";
  must_run({tessera, "--root", root, "domain", "add", kDomain});
  std::string csv = write_rows(root + "/rows.csv", rows);

  int before = password_lines(root);
  RunTiming dry = timing_of({tessera, "--root", root, "user", "import", "--dry-run", csv});
  RunTiming made = timing_of({tessera, "--root", root, "user", "import", csv});
  // Every row is there: the password file holds each, and a second dry run finds every name taken.
  int again = run({tessera, "--root", root, "user", "import", "--dry-run", csv}, nullptr, true);
  if (again != 1 || password_lines(root) != before + rows) {
    fprintf(stderr, "import_bench: the imported rows are not all there\n");
    return 1;
  }
  printf("%8s %12s %14s %14s\n", "rows", "run", "wall", "cpu");
  printf("%8d %12s %11.2f s %11.2f s\n", rows, "dry run", dry.wall_ms / 1e3, dry.cpu_ms / 1e3);
  printf("%8d %12s %11.2f s %11.2f s\n", rows, "import", made.wall_ms / 1e3, made.cpu_ms / 1e3);
  if (!getenv("BENCH_KEEP")) fs::remove_all(root);
  return 0;
}

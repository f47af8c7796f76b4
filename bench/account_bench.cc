// Times "tessera user add" and "tessera user show" as whole processes in a
// domain that already holds 1,000, 10,000 and 100,000 accounts, and prints
// the medians and how they grow with the number of accounts.
//
//   account_bench [runs] [directory] [accounts]
//       (defaults: 21 runs, $TMPDIR or /tmp, every size; BENCH_KEEP=1 keeps
//       the sandboxes)
//
// Each command's wall time and its own CPU time are shown: on a busy
// machine the wall time mostly measures the wait for a processor.
// The domain is made by "tessera domain add"; its password file is then
// written directly (sorted lines in the stored format, one crypted password
// shared by all, mailbox directories that do not exist), because making
// 100,000 mailboxes through the tool would take far longer than the run.
// One "tessera user add" then builds the index from that file, so each size
// holds one account more than its label. Every timed add is followed by its
// show and an untimed delete, which keeps the domain at its size.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/hash_password.h"
#include "base/site.h"
#include "bench/bench_common.h"
#include "domains/assign.h"

namespace {

using namespace bench;

constexpr const char* kDomain = "bench.example";

// A sandbox whose domain holds `count` accounts and an index of them.
std::string make_sandbox(const std::string& parent, const std::string& tessera, int count) {
  std::string root = parent + "/account-bench-" + std::to_string(count);
  make_store_skeleton(root);
  std::ofstream(root + "/usr/local/tessera/etc/tlimits.default") << "# no limits\n";
  must_run({tessera, "--root", root, "domain", "add", kDomain});

  site_set_root(root);
  tget_assign_forget();
  std::string dir, hashed;
  if (!tget_assign(DomainName(kDomain), &dir, 300, nullptr, nullptr) ||
      hash_password("bench", hashed) != 0) {
    fprintf(stderr, "account_bench: cannot set up %s\n", root.c_str());
    exit(1);
  }
  std::ofstream text(dir + "/tpasswd", std::ios::binary);
  for (int i = 0; i < count; ++i) {
    char name[16];
    snprintf(name, sizeof name, "u%06d", i);
    text << name << ':' << hashed << ":1:0:" << name << ':' << dir << '/' << name
         << ":NOQUOTA\n";
  }
  text.close();
  must_run({tessera, "--root", root, "user", "add", std::string("seed@") + kDomain, "bench"});
  return root;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 21;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 2 ? argv[2] : tmp ? tmp : "/tmp";
  std::vector<int> sizes = {1000, 10000, 100000};
  if (argc > 3) sizes = {atoi(argv[3])};
  std::string tessera = build_dir() + "/tessera";
  printf("%8s %16s %16s %16s %16s\n", "accounts", "add wall median", "add cpu median",
         "show wall median", "show cpu median");
  for (int count : sizes) {
    std::string root = make_sandbox(parent, tessera, count);
    std::vector<double> add_wall, add_cpu, show_wall, show_cpu;
    for (int r = 0; r < runs; ++r) {
      std::string address = "bench" + std::to_string(r) + "@" + kDomain;
      RunTiming add = timing_of({tessera, "--root", root, "user", "add", address, "pw"});
      RunTiming show = timing_of({tessera, "--root", root, "user", "show", address});
      add_wall.push_back(add.wall_ms);
      add_cpu.push_back(add.cpu_ms);
      show_wall.push_back(show.wall_ms);
      show_cpu.push_back(show.cpu_ms);
      must_run({tessera, "--root", root, "user", "del", address});
    }
    printf("%8d %13.2f ms %13.2f ms %13.2f ms %13.2f ms\n", count, median(add_wall),
           median(add_cpu), median(show_wall), median(show_cpu));
    fflush(stdout);
    if (!getenv("BENCH_KEEP")) fs::remove_all(root);
  }
  return 0;
}

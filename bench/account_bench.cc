// Times "tessera user add" and "tessera user show" as whole processes in a
// domain that already holds 1,000, 10,000 and 100,000 accounts, and prints
// the medians and how they grow with the number of accounts.
//
//   account_bench [runs] [directory]   (defaults: 21 runs, $TMPDIR or /tmp)
//
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
  std::string domain = kDomain, dir, hashed;
  if (!tget_assign(domain, &dir, 300, nullptr, nullptr) || hash_password("bench", hashed) != 0) {
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
  std::string tessera = build_dir() + "/tessera";
  GrowthTable table("accounts", "add", "show");
  for (int count : {1000, 10000, 100000}) {
    std::string root = make_sandbox(parent, tessera, count);
    std::vector<double> adds, shows;
    for (int r = 0; r < runs; ++r) {
      std::string address = "bench" + std::to_string(r) + "@" + kDomain;
      adds.push_back(milliseconds_of({tessera, "--root", root, "user", "add", address, "pw"}));
      shows.push_back(milliseconds_of({tessera, "--root", root, "user", "show", address}));
      must_run({tessera, "--root", root, "user", "del", address});
    }
    table.row(count, adds, shows);
    fs::remove_all(root);
  }
  return 0;
}

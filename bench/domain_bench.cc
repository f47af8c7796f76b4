// Times "tessera domain add" and "tessera domain del" as whole processes
// (qmail-newu and qmail-newmrh stand-ins included) in sandboxes that
// already hold 100, 1,000 and 10,000 domains, and prints the medians and
// how they grow with the number of domains.
//
//   domain_bench [runs] [directory]   (defaults: 31 runs, $TMPDIR or /tmp)
//
// The sandboxes are laid out directly (tables, compiled databases and the
// domains-level allocation record as that many creations would leave them)
// so that setting up 10,000 domains does not take longer than the run.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/site.h"
#include "bench/bench_common.h"
#include "domains/assign.h"
#include "domains/dir_control.h"

namespace {

using namespace bench;

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string name_of(int i) {
  char name[32];
  snprintf(name, sizeof name, "d%05d.example", i);
  return name;
}

// A sandbox holding `count` domains, as that many creations leave it.
std::string make_sandbox(const std::string& parent, int count) {
  std::string root = parent + "/domain-bench-" + std::to_string(count);
  make_store_skeleton(root);
  site_set_root(root);
  std::string home = tessera_home(), assign, rcpthosts, more, virtuals;
  fs::current_path(home + "/domains");
  DirControl record;
  dir_control_load(record, "dom_89", 89);
  for (int i = 0; i < count; ++i) {
    std::string name = name_of(i);
    std::string hashed = dir_control_next(record, 89, 89);
    std::string dir = home + "/domains/" + (hashed.empty() ? "" : hashed + "/") + name;
    assign += assign_entry_line(name, name, 89, 89, dir) + "\n";
    (i < 50 ? rcpthosts : more) += name + "\n";
    virtuals += name + ":" + name + "\n";
  }
  dir_control_save(record, "dom_89", 89, 89);
  write_text(qmail_assign_file(), assign + ".\n");
  write_text(qmail_control_file("rcpthosts"), rcpthosts);
  write_text(qmail_control_file("morercpthosts"), more);
  write_text(qmail_control_file("virtualdomains"), virtuals);
  run_qmail_newu();
  run_qmail_newmrh();
  fs::current_path(parent);
  return root;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 31;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 2 ? argv[2] : tmp ? tmp : "/tmp";
  std::string tessera = build_dir() + "/tessera";
  GrowthTable table("domains", "add", "del");
  for (int count : {100, 1000, 10000}) {
    std::string root = make_sandbox(parent, count);
    std::vector<double> adds, dels;
    for (int r = 0; r < runs; ++r) {
      std::string name = "bench" + std::to_string(r) + ".test";
      adds.push_back(milliseconds_of({tessera, "--root", root, "domain", "add", name}));
      dels.push_back(milliseconds_of({tessera, "--root", root, "domain", "del", name}));
    }
    table.row(count, adds, dels);
    fs::remove_all(root);
  }
  return 0;
}

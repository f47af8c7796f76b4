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
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/assign.h"
#include "store/dir_control.h"
#include "store/site.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string build_dir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

int run(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string name_of(int i) {
  char name[32];
  snprintf(name, sizeof name, "d%05d.example", i);
  return name;
}

// A sandbox holding `count` domains, as that many creations leave it.
std::string make_sandbox(const std::string& parent, int count) {
  std::string root = parent + "/domain-bench-" + std::to_string(count);
  fs::remove_all(root);
  for (const char* dir : {"/usr/local/tessera/domains", "/var/qmail/bin", "/var/qmail/control",
                          "/var/qmail/users"}) {
    fs::create_directories(root + dir);
  }
  for (const char* tool : {"qmail-newu", "qmail-newmrh"}) {
    fs::copy_file(build_dir() + "/" + tool, root + "/var/qmail/bin/" + tool);
  }
  site_set_root(root);
  std::string home = tessera_home(), assign, rcpthosts, more, virtuals;
  fs::current_path(home + "/domains");
  dir_control_load("dom_89", 89);
  for (int i = 0; i < count; ++i) {
    std::string name = name_of(i);
    std::string hashed = dir_control_next(89, 89);
    std::string dir = home + "/domains/" + (hashed.empty() ? "" : hashed + "/") + name;
    assign += assign_entry_line(name, name, 89, 89, dir) + "\n";
    (i < 50 ? rcpthosts : more) += name + "\n";
    virtuals += name + ":" + name + "\n";
  }
  dir_control_save("dom_89", 89, 89);
  write_text(qmail_assign_file(), assign + ".\n");
  write_text(qmail_control_file("rcpthosts"), rcpthosts);
  write_text(qmail_control_file("morercpthosts"), more);
  write_text(qmail_control_file("virtualdomains"), virtuals);
  run_qmail_newu();
  run_qmail_newmrh();
  fs::current_path(parent);
  return root;
}

double milliseconds_of(const std::vector<std::string>& words) {
  Clock::time_point start = Clock::now();
  int status = run(words);
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (status != 0) {
    fprintf(stderr, "domain_bench: %s %s failed (%d)\n", words[4].c_str(), words[5].c_str(),
            status);
    exit(1);
  }
  return ms;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 31;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 2 ? argv[2] : tmp ? tmp : "/tmp";
  std::string tessera = build_dir() + "/tessera";
  printf("%8s %14s %14s %12s %12s\n", "domains", "add median", "del median", "add growth",
         "del growth");
  double first_add = 0, first_del = 0;
  for (int count : {100, 1000, 10000}) {
    std::string root = make_sandbox(parent, count);
    std::vector<double> adds, dels;
    for (int r = 0; r < runs; ++r) {
      std::string name = "bench" + std::to_string(r) + ".test";
      adds.push_back(milliseconds_of({tessera, "--root", root, "domain", "add", name}));
      dels.push_back(milliseconds_of({tessera, "--root", root, "domain", "del", name}));
    }
    double add = median(adds), del = median(dels);
    if (first_add == 0) first_add = add, first_del = del;
    printf("%8d %11.2f ms %11.2f ms %11.2fx %11.2fx\n", count, add, del, add / first_add,
           del / first_del);
    fs::remove_all(root);
  }
  return 0;
}

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
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/hash_password.h"
#include "store/assign.h"
#include "store/site.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kDomain = "bench.example";

std::string build_dir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

int run(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void must_run(const std::vector<std::string>& words) {
  if (run(words) != 0) {
    std::string line;
    for (size_t i = 3; i < words.size(); ++i) line += " " + words[i];
    fprintf(stderr, "account_bench: tessera%s failed\n", line.c_str());
    exit(1);
  }
}

double milliseconds_of(const std::vector<std::string>& words) {
  Clock::time_point start = Clock::now();
  must_run(words);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A sandbox whose domain holds `count` accounts and an index of them.
std::string make_sandbox(const std::string& parent, const std::string& tessera, int count) {
  std::string root = parent + "/account-bench-" + std::to_string(count);
  fs::remove_all(root);
  for (const char* dir : {"/usr/local/tessera/etc", "/var/qmail/bin", "/var/qmail/control",
                          "/var/qmail/users"}) {
    fs::create_directories(root + dir);
  }
  for (const char* tool : {"qmail-newu", "qmail-newmrh"}) {
    fs::copy_file(build_dir() + "/" + tool, root + "/var/qmail/bin/" + tool);
  }
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
  printf("%8s %14s %14s %12s %12s\n", "accounts", "add median", "show median", "add growth",
         "show growth");
  double first_add = 0, first_show = 0;
  for (int count : {1000, 10000, 100000}) {
    std::string root = make_sandbox(parent, tessera, count);
    std::vector<double> adds, shows;
    for (int r = 0; r < runs; ++r) {
      std::string address = "bench" + std::to_string(r) + "@" + kDomain;
      adds.push_back(milliseconds_of({tessera, "--root", root, "user", "add", address, "pw"}));
      shows.push_back(milliseconds_of({tessera, "--root", root, "user", "show", address}));
      must_run({tessera, "--root", root, "user", "del", address});
    }
    double add = median(adds), show = median(shows);
    if (first_add == 0) first_add = add, first_show = show;
    printf("%8d %11.2f ms %11.2f ms %11.2fx %11.2fx\n", count, add, show, add / first_add,
           show / first_show);
    fs::remove_all(root);
  }
  return 0;
}

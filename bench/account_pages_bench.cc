// Times the user list (nav=show_users) over domains of 1,000, 10,000 and
// 128,000 accounts (its first page, and its last page asked for by number:
// a large domain is shown 1,000 rows a page), and the account view (nav=view_user) in a domain of
// 100,000 accounts, each as a whole CGI process of larkspur-sandbox.cgi.
//
//   account_pages_bench [runs] [directory] [accounts]
//       (defaults: 11 runs, $TMPDIR or /tmp, every size; BENCH_KEEP=1 keeps
//       the sandboxes for a closer look)
//
// Wall time and the CGI process's own CPU time are both shown: on a busy
// machine the wall time mostly measures the wait for a processor.
// The domain is made by "tessera domain add"; its password file is written
// directly (one crypted password and a quota shared by all, so the view
// works out each mailbox's use), and every tenth account
// gets a mailbox directory with a .qmail holding a forward and a vacation
// line, the others a directory without one. One "tessera user add" builds
// the index. The page output is discarded; its length is checked once so a
// failed page cannot pass for a fast one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/hash_password.h"
#include "base/site.h"
#include "bench/bench_common.h"
#include "domains/assign.h"
#include "pages/show_users.h"

namespace {

using namespace bench;

constexpr const char* kDomain = "bench.example";

std::string make_sandbox(const std::string& parent, const std::string& tessera, int count) {
  std::string root = parent + "/account-pages-bench-" + std::to_string(count);
  make_store_skeleton(root);
  std::ofstream(root + "/usr/local/tessera/etc/tlimits.default") << "# no limits\n";
  must_run({tessera, "--root", root, "domain", "add", kDomain});
  fs::create_directories(root + "/www/html");
  std::ofstream(root + "/www/larkspur.acl") << "admins * bench\n";
  std::ofstream(root + "/www/html/mod_user.html") << "$-UA $-UT $-UU\n";
  std::ofstream(root + "/www/html/main.html") << "MAIN %-W\n";

  site_set_root(root);
  tget_assign_forget();
  std::string dir, hashed;
  if (!tget_assign(DomainName(kDomain), &dir, 300, nullptr, nullptr) ||
      hash_password("bench", hashed) != 0) {
    fprintf(stderr, "account_pages_bench: cannot set up %s\n", root.c_str());
    exit(1);
  }
  std::ofstream text(dir + "/tpasswd", std::ios::binary);
  for (int i = 0; i < count; ++i) {
    char name[16];
    snprintf(name, sizeof name, "u%06d", i);
    std::string home = dir + "/" + name;
    text << name << ':' << hashed << ":1:0:" << name << ':' << home << ":10000000S\n";
    for (const char* sub : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) {
      fs::create_directories(home + sub);
    }
    std::ofstream(home + "/lastauth") << "192.0.2.1";
    if (i % 10 == 0) {
      std::ofstream(home + "/.qmail") << "&forward@example.org\n|/usr/bin/autorespond 86400 3 m\n";
    }
  }
  text.close();
  must_run({tessera, "--root", root, "user", "add", std::string("seed@") + kDomain, "bench"});
  return root;
}

struct Timing {
  double wall_ms = 0, cpu_ms = 0;  // cpu: the process's user and system time
  long length = -1;                // page bytes, -1 when the request failed
};

// One CGI request, timed.
Timing timed_page(const std::string& root, const std::string& query) {
  Timing t;
  auto start = std::chrono::steady_clock::now();
  std::string cgi = build_dir() + "/larkspur-sandbox.cgi";
  std::string out = root + "/page.out";
  fflush(stdout);  // the child must not print the parent's pending table
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir((root + "/www").c_str()) != 0) _exit(127);
    freopen(out.c_str(), "w", stdout);
    std::string env_root = "LARKSPUR_ROOT=" + root, env_query = "QUERY_STRING=" + query;
    char* env[] = {const_cast<char*>("REMOTE_USER=bench"), const_cast<char*>("REQUEST_METHOD=GET"),
                   env_query.data(), env_root.data(), nullptr};
    execle(cgi.c_str(), cgi.c_str(), static_cast<char*>(nullptr), env);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  t.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                  .count();
  t.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) t.length = static_cast<long>(fs::file_size(out));
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 11;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 2 ? argv[2] : tmp ? tmp : "/tmp";
  std::string tessera = build_dir() + "/tessera";
  std::vector<int> sizes = {1000, 10000, 100000, 128000};
  if (argc > 3) sizes = {atoi(argv[3])};
  printf("%8s %12s %14s %14s\n", "accounts", "page", "wall median", "cpu median");
  for (int count : sizes) {
    std::string root = make_sandbox(parent, tessera, count);
    struct Page {
      std::string name;
      std::string query;
    };
    std::vector<Page> pages = {{"view_user", "nav=view_user&eaddr=u000500@bench.example"}};
    if (count != 100000) {
      // The seed account makes count + 1; the list stops at its row limit.
      const int rows = std::min(count + 1, kShowUsersMaxRows);
      const int last = (rows + kShowUsersPageRows - 1) / kShowUsersPageRows;
      pages.insert(pages.begin(),
                   {{"users p1", "nav=show_users&dname=bench.example"},
                    {"users p" + std::to_string(last),
                     "nav=show_users&dname=bench.example&page=" + std::to_string(last)}});
    }
    for (const Page& p : pages) {
      std::vector<double> walls, cpus;
      for (int r = 0; r < runs; ++r) {
        Timing t = timed_page(root, p.query);
        if (t.length <= 0) {
          fprintf(stderr, "account_pages_bench: %s failed\n", p.name.c_str());
          return 1;
        }
        walls.push_back(t.wall_ms);
        cpus.push_back(t.cpu_ms);
      }
      printf("%8d %12s %11.2f ms %11.2f ms\n", count, p.name.c_str(), median(walls), median(cpus));
      fflush(stdout);
    }
    if (!getenv("BENCH_KEEP")) fs::remove_all(root);
  }
  return 0;
}

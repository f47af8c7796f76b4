// The domain pages as an administrator meets them: each request a whole
// build/larkspur-sandbox.cgi process, with the build's templates and
// language file. Times list_domains over 1,000 and 10,000 domains and
// view_domain of one domain with its postmaster and limits; the target is
// list_domains over 10,000 domains under 100 ms.
//
//   build/bench/pages_bench [RUNS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace {

namespace fs = std::filesystem;

// Runs the CGI once in the current directory (the sandbox's www) with the
// request's environment; its page is discarded. Milliseconds, or -1.
double time_request(const std::string& cgi, const std::string& root, const std::string& query) {
  std::vector<std::string> env = {"REMOTE_USER=admin", "REQUEST_METHOD=GET",
                                  "QUERY_STRING=" + query, "LARKSPUR_ROOT=" + root,
                                  "HTTP_ACCEPT_LANGUAGE=en", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(cgi.c_str()), nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// users/assign with `count` more domains before its final line; only the
// list page reads them, so qmail-newu need not run.
void add_listed_domains(const std::string& root, int count, const std::string& base) {
  std::string assign = root + "/var/qmail/users/assign";
  std::string text = base.substr(0, base.size() - 2);  // without ".\n"
  std::ostringstream lines;
  for (int i = 0; i < count; ++i) {
    std::string name = "d" + std::to_string(i) + ".example";
    lines << "+" << name << "-:" << name << ":89:89:" << root
          << "/usr/local/tessera/domains/" << name << ":-::\n";
  }
  std::ofstream(assign, std::ios::trunc) << text << lines.str() << ".\n";
}

double median_of(int runs, const std::string& cgi, const std::string& root,
                 const std::string& query) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    double ms = time_request(cgi, root, query);
    if (ms < 0) {
      fprintf(stderr, "pages_bench: %s failed\n", query.c_str());
      exit(1);
    }
    times.push_back(ms);
  }
  return bench::median(times);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 50;
  if (runs < 1) runs = 1;
  std::string build = bench::build_dir();
  std::string cgi = build + "/larkspur-sandbox.cgi";
  std::string tessera = build + "/tessera";
  std::string base = fs::temp_directory_path().string() + "/larkspur-pages-bench-" +
                     std::to_string(getpid());
  std::string root = base + "/root";
  std::string www = base + "/www";
  bench::make_store_skeleton(root);
  fs::create_directories(www);
  fs::copy(build + "/html", www + "/html", fs::copy_options::recursive);
  std::ofstream(www + "/larkspur.acl") << "admins * admin\n";

  bench::must_run({tessera, "--root", root, "domain", "add", "view.example"});
  std::ofstream(root + "/usr/local/tessera/etc/tlimits.default") << "";
  bench::must_run({tessera, "--root", root, "user", "add", "postmaster@view.example", "pw"});
  std::ofstream(root + "/usr/local/tessera/domains/view.example/.kestrel-limits")
      << "maxpopaccounts: 50\ndefault_quota: 1000000S\ndisable_imap\n";
  std::ifstream in(root + "/var/qmail/users/assign");
  std::string assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (chdir(www.c_str()) != 0) return 1;

  printf("%-28s %10s  (median of %d whole CGI processes)\n", "request", "time", runs);
  // The main page is the process's own cost: start-up, access list, template.
  printf("%-28s %7.2f ms\n", "main page (for comparison)", median_of(runs, cgi, root, ""));
  printf("%-28s %7.2f ms\n", "view_domain",
         median_of(runs, cgi, root, "nav=view_domain&dname=view.example"));
  for (int count : {1000, 10000}) {
    add_listed_domains(root, count, assign);
    std::string what = "list_domains, " + std::to_string(count) + " domains";
    printf("%-28s %7.2f ms\n", what.c_str(), median_of(runs, cgi, root, "nav=list_domains"));
    std::string filtered = "  with a filter";
    printf("%-28s %7.2f ms\n", filtered.c_str(),
           median_of(runs, cgi, root, "nav=list_domains&dname=99"));
  }
  fs::remove_all(base);
  return 0;
}

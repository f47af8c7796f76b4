// Times one login through the login program (its sandbox twin, a whole
// process reading descriptor 3, running /bin/true after the login) in a
// domain of 1,000 and of 100,000 accounts, beside the password hash alone
// (crypt in this process) and a refused login of an unknown account, which
// hashes a dummy and so should cost the same.
//
//   login_bench [runs] [directory]   (defaults: 21 runs, $TMPDIR or /tmp;
//                                     BENCH_KEEP=1 keeps the sandboxes)
//
// The accounts are written straight into the domain's tpasswd, all with one
// hash, and indexed by the store's own rebuild: making 100,000 hashes would
// take minutes and measure nothing the login does.
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "accounts/checkpassword.h"
#include "accounts/hash_password.h"
#include "accounts/passwd.h"
#include "base/mailbox.h"
#include "base/site.h"
#include "bench/bench_common.h"
#include "domains/assign.h"

namespace {

using namespace bench;

constexpr const char* kDomain = "bench.example";
constexpr const char* kPassword = "bench secret";

std::string account_name(int i) {
  char name[16];
  snprintf(name, sizeof name, "m%06d", i);
  return name;
}

// A store of `accounts` mailboxes in one domain; the directory of the
// account logged in as (the middle one) is made, so its login is recorded.
void make_store(const std::string& root, int accounts, const std::string& hash) {
  make_store_skeleton(root);
  std::ofstream(root + "/usr/local/tessera/etc/tlimits.default") << "# no limits\n";
  must_run({build_dir() + "/tessera", "--root", root, "domain", "add", kDomain});
  site_set_root(root);
  tget_assign_forget();
  std::optional<DomainHome> home = find_domain_home(DomainName(kDomain));
  if (!home) {
    fprintf(stderr, "bench: %s not found\n", kDomain);
    exit(1);
  }
  {
    std::ofstream tpasswd(home->dir + "/tpasswd", std::ios::binary);
    for (int i = 0; i < accounts; ++i) {
      std::string name = account_name(i);
      tpasswd << name << ':' << hash << ":1:0:Mailbox " << i << ':' << home->dir << '/' << name
              << ":NOQUOTA\n";
    }
  }
  if (passwd_rebuild(DomainName(kDomain)) != 0) {
    fprintf(stderr, "bench: rebuilding the index failed\n");
    exit(1);
  }
  fs::create_directories(home->dir + "/" + account_name(accounts / 2) + "/Maildir");
}

// One run of the login program with `input` on descriptor 3: wall time in
// milliseconds, and its exit status.
double login_ms(const std::string& root, const std::string& input_file, int* status) {
  std::string program = build_dir() + "/tessera-checkpassword-sandbox";
  std::vector<std::string> words = {program, "/bin/true"};
  std::vector<std::string> env = {"LARKSPUR_ROOT=" + root, "SERVICE=imap",
                                  "TCPREMOTEIP=192.0.2.1", "PATH=/usr/bin:/bin"};
  std::vector<char*> argv, envp;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 3, input_file.c_str(), O_RDONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int wait_status = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    *status = -1;
  } else {
    waitpid(pid, &wait_status, 0);
    *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string input_file(const std::string& root, const std::string& name,
                       const std::string& login) {
  std::string path = root + "/" + name;
  std::ofstream(path, std::ios::binary) << login << '\0' << kPassword << '\0';
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 21;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 2 ? argv[2] : tmp ? tmp : "/tmp";
  std::string hash;
  if (hash_password(kPassword, hash) != 0) {
    fprintf(stderr, "bench: hashing failed\n");
    return 1;
  }
  std::vector<double> hashes;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!password_matches(kPassword, hash)) return 1;
    hashes.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  printf("hash alone (SHA-512 crypt, in process): median %.2f ms\n", median(hashes));
  // What starting any process costs here: the login starts two (the
  // program, then /bin/true in its place).
  std::vector<double> starts;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    run({"/bin/true"});
    starts.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  printf("/bin/true started alone: median %.2f ms\n", median(starts));
  // "beyond starts": what the login costs past the hash and the two
  // process starts any checkpassword chain pays.
  printf("%9s %15s %15s %15s %15s\n", "accounts", "login median", "login - hash",
         "beyond starts", "unknown median");
  for (int accounts : {1000, 100000}) {
    std::string root = parent + "/login-bench-" + std::to_string(accounts);
    make_store(root, accounts, hash);
    std::string good =
        input_file(root, "good.in", account_name(accounts / 2) + "@" + kDomain);
    std::string unknown = input_file(root, "unknown.in", std::string("nobody@") + kDomain);
    std::vector<double> logins, refusals;
    for (int i = 0; i < runs; ++i) {
      int status = 0;
      logins.push_back(login_ms(root, good, &status));
      if (status != 0) {
        fprintf(stderr, "bench: login exited %d\n", status);
        return 1;
      }
      refusals.push_back(login_ms(root, unknown, &status));
      if (status != 1) {
        fprintf(stderr, "bench: unknown account exited %d\n", status);
        return 1;
      }
    }
    double over_hash = median(logins) - median(hashes);
    printf("%9d %12.2f ms %12.2f ms %12.2f ms %12.2f ms\n", accounts, median(logins), over_hash,
           over_hash - 2 * median(starts), median(refusals));
    fflush(stdout);
    if (getenv("BENCH_KEEP") == nullptr) fs::remove_all(root);
  }
  return 0;
}

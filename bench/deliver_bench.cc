// Delivery as whole processes: 2,000 messages of 4 KB, one process each,
// into one mailbox with a quota in a domain of 100,000 accounts, through
// tdelivermail-sandbox as qmail-local runs it; beside it the same messages
// through Dovecot's dovecot-lda (-c a minimal configuration, no -d: it
// delivers as the user it runs as, to the Maildir path given) into the
// same kind of Maildir, with Dovecot's maildir quota keeping maildirsize.
// Both run as the store's user (uid 89), as on a mail host. Prints each
// program's per-message wall median and the ratio.
//
// The domain's other accounts are written straight into its password file
// (their mailboxes need not exist: only the lookup's index size matters),
// and the index is rebuilt by the first delivery's lookup.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "bench/bench_common.h"

namespace {

constexpr int kMessages = 2000;
constexpr int kAccounts = 100000;
constexpr size_t kMessageSize = 4096;
constexpr const char* kLda = "/usr/lib/dovecot/dovecot-lda";

void write(const std::string& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// Runs argv as uid and gid 89 with the message file on standard input and
// the given environment; its wall time in milliseconds, or -1 on failure.
double timed_run(const std::vector<std::string>& words, const std::vector<std::string>& env,
                 const std::string& input, const std::string& dir) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input.c_str(), O_RDONLY);
    int null = open("/dev/null", O_WRONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(null, 1) < 0 || chdir(dir.c_str()) != 0) _exit(127);
    if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(89, 89, 89) != 0 ||
                          setresuid(89, 89, 89) != 0)) {
      _exit(127);
    }
    std::vector<char*> argv, envp;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr), envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                  .count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string message(int n) {
  std::string head = "From: sender@example.org\nTo: joe@example.com\nSubject: message " +
                     std::to_string(n) + "\n\n";
  std::string text = head;
  while (text.size() < kMessageSize - 1) text += "0123456789abcdefghijklmnopqrstuvwxyz\n";
  text.resize(kMessageSize - 1);
  return text + "\n";
}

}  // namespace

int main() {
  const std::string build = bench::build_dir();
  char pattern[] = "/tmp/deliver-bench-XXXXXX";
  const std::string root = mkdtemp(pattern);
  chmod(root.c_str(), 0711);
  for (const char* dir : {"/usr/local/tessera/etc", "/var/qmail/bin", "/var/qmail/control",
                          "/var/qmail/users"}) {
    bench::fs::create_directories(root + dir);
  }
  for (const char* tool : {"qmail-newu", "qmail-newmrh"}) {
    bench::fs::copy_file(build + "/" + tool, root + "/var/qmail/bin/" + tool);
  }
  write(root + "/usr/local/tessera/etc/tlimits.default", "# no limits\n");
  const std::string tessera = build + "/tessera";
  bench::must_run({tessera, "--root", root, "domain", "add", "example.com"});
  bench::must_run({tessera, "--root", root, "user", "add", "joe@example.com", "secret"});
  bench::must_run({tessera, "--root", root, "user", "quota", "joe@example.com", "1G,100000C"});
  const std::string domain = root + "/usr/local/tessera/domains/example.com";
  {
    std::ofstream out(domain + "/tpasswd", std::ios::app);
    for (int i = 0; i < kAccounts - 1; ++i) {
      out << "user" << i << ":$6$x$y:1:0:user" << i << ":" << domain << "/u/user" << i
          << ":NOQUOTA\n";
    }
  }
  unlink((domain + "/tpasswd.cdb").c_str());

  std::vector<std::string> files;
  for (int i = 0; i < kMessages; ++i) {
    files.push_back(root + "/message." + std::to_string(i));
    write(files.back(), message(i));
  }

  // tdelivermail, as qmail-local runs it for joe@example.com.
  const std::string program = build + "/tdelivermail-sandbox";
  const std::vector<std::string> env = {
      "PATH=/usr/bin:/bin", "LARKSPUR_ROOT=" + root, "HOST=example.com", "EXT=joe",
      "DEFAULT=joe", "LOCAL=example.com-joe", "SENDER=sender@example.org",
      "RECIPIENT=example.com-joe@example.com",
      "DTLINE=Delivered-To: example.com-joe@example.com\n",
      "RPLINE=Return-Path: <sender@example.org>\n"};
  std::vector<double> ours;
  for (const std::string& file : files) {
    double ms = timed_run({program, "", "bounce-no-mailbox"}, env, file, domain);
    if (ms < 0) {
      fprintf(stderr, "bench: tdelivermail failed\n");
      return 1;
    }
    ours.push_back(ms);
  }

  // dovecot-lda into a Maildir of the same kind, its quota in maildirsize.
  double theirs_median = -1;
  if (access(kLda, X_OK) == 0) {
    const std::string lda = root + "/lda";
    for (const char* sub : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp", "/run"}) {
      bench::fs::create_directories(lda + sub);
    }
    write(lda + "/lda.conf",
          "base_dir = " + lda + "/run\nlog_path = " + lda + "/log\n"
          "mail_location = maildir:" + lda + "/Maildir\n"
          "first_valid_uid = 89\nfirst_valid_gid = 89\nmail_plugins = quota\n"
          "plugin {\n  quota = maildir:User quota\n  quota_rule = *:storage=1G:messages=100000\n}\n");
    if (getuid() == 0) bench::must_run({"/bin/chown", "-R", "89:89", lda});
    std::vector<double> theirs;
    const std::vector<std::string> lda_env = {"PATH=/usr/bin:/bin", "HOME=" + lda, "USER=tessera"};
    for (const std::string& file : files) {
      double ms = timed_run({kLda, "-c", lda + "/lda.conf", "-f", "sender@example.org"}, lda_env,
                            file, lda);
      if (ms < 0) {
        fprintf(stderr, "bench: dovecot-lda failed (see %s/log)\n", lda.c_str());
        return 1;
      }
      theirs.push_back(ms);
    }
    theirs_median = median(theirs);
  }

  const double ours_median = median(ours);
  printf("deliver_bench: %d messages of %zu bytes, one mailbox with a quota, %d accounts\n",
         kMessages, kMessageSize, kAccounts);
  printf("tdelivermail  median %.3f ms per message\n", ours_median);
  if (theirs_median > 0) {
    printf("dovecot-lda   median %.3f ms per message\n", theirs_median);
    printf("ratio tdelivermail / dovecot-lda: %.2f\n", ours_median / theirs_median);
  } else {
    printf("dovecot-lda   not installed (%s)\n", kLda);
  }
  if (std::getenv("LARKSPUR_KEEP_SANDBOX") == nullptr) bench::fs::remove_all(root);
  return 0;
}

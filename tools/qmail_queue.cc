// qmail-queue stand-in, for tests and the demo: takes a message on
// descriptor 0 and its envelope on descriptor 1, as qmail-queue does, and
// keeps them as N.msg and N.env (N counting from 1) in queue-standin/ under
// its qmail home (the parent of the directory it runs from), then exits 0.
// Nothing is sent anywhere. A problem: a message on stderr and exit 71
// (qmail-queue's temporary failure).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/fd_guard.h"
#include "tools/qmail_tool.h"

namespace {

constexpr const char* kProgram = "qmail-queue";
constexpr const char* kSpool = "queue-standin";
constexpr int kTemporary = 71;

[[noreturn]] void fail(const std::string& why) {
  fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
  _exit(kTemporary);
}

bool copy_all(int from, int to) {
  char block[65536];
  for (;;) {
    ssize_t got = read(from, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!write_all(to, std::string_view(block, static_cast<size_t>(got)))) return false;
  }
}

}  // namespace

int main(int, char** argv) {
  std::string home = tool_qmail_home(argv[0]);
  if (home.empty()) fail("unable to find the qmail home");
  std::string spool = home + "/" + kSpool;
  if (mkdir(spool.c_str(), 0700) != 0 && errno != EEXIST) fail("unable to make " + spool);
  // The first free number: the message file is made exclusive, so two
  // stand-ins at once never share one.
  for (long n = 1;; ++n) {
    std::string base = spool + "/" + std::to_string(n);
    int msg = open((base + ".msg").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (msg < 0 && errno == EEXIST) continue;
    if (msg < 0) fail("unable to write " + base + ".msg");
    FdGuard msg_guard(msg);
    int env = open((base + ".env").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (env < 0) fail("unable to write " + base + ".env");
    FdGuard env_guard(env);
    if (!copy_all(0, msg) || !copy_all(1, env)) fail("unable to copy the message");
    if (!msg_guard.close_now() || !env_guard.close_now()) fail("unable to write " + base);
    return 0;
  }
}

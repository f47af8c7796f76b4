// tessera-hup: tells qmail-send to reload, for the store's user.
//
// The store runs as its own user, who may not signal root's qmail-send.
// This program is installed setuid root, runnable by the store's group
// only, and does nothing but what a root store does after a domain change:
// find qmail-send in the process listing and send it a hang-up. It takes no
// argument and keeps nothing of the caller's environment, so no caller can
// make it signal anything else or run any other program.
//
// The sandbox build (tessera-hup-sandbox) requires LARKSPUR_ROOT, as the
// other sandbox programs do, and hangs up only the processes running that
// sandbox's own copy of qmail-send; without it: a message and exit 2.
//
// Exit status: 0, 1 when the process listing cannot be read, 2 when given
// arguments (or, in the sandbox build, no usable LARKSPUR_ROOT).
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/send_signal.h"
#include "base/site.h"

namespace {

#if LARKSPUR_SANDBOX
constexpr const char* kProgram = "tessera-hup-sandbox";

#else
constexpr const char* kProgram = "tessera-hup";
#endif

}  // namespace

int main(int argc, char**) {
  if (argc > 1) {
    fprintf(stderr, "usage: %s (takes no arguments)\n", kProgram);
    return 2;
  }
#if LARKSPUR_SANDBOX
  if (!site_take_sandbox_root(kProgram)) return 2;
#endif
  // The listing is read through the shell: only the system's own ps.
  if (clearenv() != 0 || setenv("PATH", "/usr/bin:/bin", 1) != 0) return 1;
  return send_signal_by_name(qmail_send_match(), SIGHUP) == 0 ? 0 : 1;
}

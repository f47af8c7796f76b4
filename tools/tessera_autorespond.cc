// tessera-autorespond DIR: the vacation reply. A mailbox's .qmail runs it
// (`|/usr/local/tessera/bin/tessera-autorespond DIR`, DIR the mailbox
// directory) before the line that delivers to the mailbox, so the delivery
// program hands it each message: the message on standard input, the
// envelope in qmail-local's environment (SENDER, RECIPIENT, HOST).
// accounts/autorespond.h decides and sends; this program gathers the inputs
// and says on stderr why it sent nothing or what failed.
//
// It always exits 0: qmail-local bounces or defers the message on any other
// status, and a vacation reply must never keep mail from the mailbox. So
// even the sandbox build (tessera-autorespond-sandbox), which requires
// LARKSPUR_ROOT and reads every fixed path under it, only says so on
// stderr when it is missing, and exits 0.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "accounts/autorespond.h"
#include "base/site.h"

namespace {

#if LARKSPUR_SANDBOX
constexpr const char* kProgram = "tessera-autorespond-sandbox";

#else
constexpr const char* kProgram = "tessera-autorespond";
#endif

std::string env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

int main(int argc, char** argv) {
#if LARKSPUR_SANDBOX
  if (!site_take_sandbox_root(kProgram)) return 0;
#endif
  if (argc != 2) {
    fprintf(stderr, "usage: %s MAILBOX-DIR\n", kProgram);
    return 0;
  }
  // A qmail-queue that dies must fail the write, not this program.
  signal(SIGPIPE, SIG_IGN);
  // The record of answered senders is the mailbox owner's alone.
  umask(077);
  std::string header;
  const bool whole = read_header(0, header);
  const AutorespondOutcome outcome =
      autorespond({argv[1], env("SENDER"), env("RECIPIENT"), env("HOST"), time(nullptr)}, header,
                  whole);
  if (!outcome.note.empty()) fprintf(stderr, "%s: %s\n", kProgram, outcome.note.c_str());
  return 0;
}

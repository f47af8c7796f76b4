// tdelivermail: the store's delivery program. Every hosted domain's
// .qmail-default runs it (`| /usr/local/tessera/bin/tdelivermail ''
// bounce-no-mailbox`), so qmail-local hands it each message for the domain:
// the message on standard input, the recipient in the environment, and the
// line's two arguments, an ignored first one and the action for mail to a
// name without a mailbox. accounts/deliver.h does the work; this program
// gathers its inputs and turns the outcome into qmail-command's exit
// status, the reason of a failure on the first line of its output.
//
// The sandbox build (tdelivermail-sandbox) requires LARKSPUR_ROOT and reads
// every fixed path under it; without it a message and exit 111, so a
// misplaced copy defers mail instead of bouncing it.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "accounts/deliver.h"
#include "base/site.h"

namespace {

#if LARKSPUR_SANDBOX
constexpr const char* kProgram = "tdelivermail-sandbox";

#else
constexpr const char* kProgram = "tdelivermail";
#endif

std::string env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

int finish(const DeliveryOutcome& outcome) {
  if (!outcome.reason.empty()) fprintf(stderr, "%s\n", outcome.reason.c_str());
  return outcome.status;
}

}  // namespace

int main(int argc, char** argv) {
#if LARKSPUR_SANDBOX
  if (!site_take_sandbox_root(kProgram)) return kDeliveryDefer;
#endif
  if (argc != 3) {
    fprintf(stderr, "usage: %s '' bounce-no-mailbox|delete-no-mailbox|/MAILBOX-DIR|ADDRESS\n",
            kProgram);
    return kDeliveryDefer;
  }
  // A forward's qmail-queue that dies must fail the write, not this program.
  signal(SIGPIPE, SIG_IGN);
  // The store's files are its own: maildirsize and the message files
  // readable by the mailbox's owner alone.
  umask(077);
  DeliveryRequest request{env("SENDER"), env("RECIPIENT"), env("HOST"),   env("EXT"),
                          env("DEFAULT"), env("DTLINE"),   env("RPLINE"), argv[2]};
  Message message;
  if (!open_message(0, message)) {
    return finish({kDeliveryDefer, "Cannot read the message. (#4.3.0)"});
  }
  return finish(deliver_message(request, message));
}

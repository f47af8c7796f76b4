// tessera-checkpassword: logs mail users in through the checkpassword
// interface, for qmail's POP3 server, SMTP AUTH front ends and Dovecot's
// checkpassword passdb and userdb (accounts/checkpassword.h holds the rules
// and the exit statuses).
//
// The sandbox build (tessera-checkpassword-sandbox) requires LARKSPUR_ROOT,
// as the other sandbox programs do, and reads the store under it; without
// it: a message and exit 2.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "accounts/checkpassword.h"
#include "base/site.h"

namespace {

#if LARKSPUR_SANDBOX
constexpr const char* kProgram = "tessera-checkpassword-sandbox";

#else
constexpr const char* kProgram = "tessera-checkpassword";
#endif

}  // namespace

int main(int argc, char** argv) {
#if LARKSPUR_SANDBOX
  if (!site_take_sandbox_root(kProgram)) return 2;
#endif
  return checkpassword_main(argc, argv, kProgram);
}

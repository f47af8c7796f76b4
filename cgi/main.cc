// The CGI program. The production build honours no environment override of
// any path; the sandbox build reads every fixed path under LARKSPUR_ROOT, so
// tests and the demo never touch a real mail system.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "base/site.h"
#include "pages/dispatch.h"

#if LARKSPUR_SANDBOX
namespace {

// The sandbox root must be an absolute path to an existing folder; anything
// else could make the program write somewhere unintended.
bool usable_root(const char* root) {
  struct stat st;
  return root != nullptr && root[0] == '/' && stat(root, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace
#endif

int main() {
  // A client that hangs up while the page is written must not end the
  // process with SIGPIPE: the failed write is simply lost, and the request
  // ends the way it would have (its audit line included).
  std::signal(SIGPIPE, SIG_IGN);
#if LARKSPUR_SANDBOX
  const char* root = std::getenv("LARKSPUR_ROOT");
  if (!usable_root(root)) {
    std::fputs("larkspur-sandbox.cgi: LARKSPUR_ROOT must be an absolute path to an existing directory\n",
               stderr);
    return 2;
  }
  site_set_root(root);
#endif
  serve_request();
}

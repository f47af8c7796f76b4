// The CGI program. The production build honours no environment override of
// any path; the sandbox build reads every fixed path under LARKSPUR_ROOT, so
// tests and the demo never touch a real mail system.
#include <csignal>

#include "base/site.h"
#include "pages/dispatch.h"

int main() {
  // A client that hangs up while the page is written must not end the
  // process with SIGPIPE: the failed write is simply lost, and the request
  // ends the way it would have (its audit line included).
  std::signal(SIGPIPE, SIG_IGN);
#if LARKSPUR_SANDBOX
  if (!site_take_sandbox_root("larkspur-sandbox.cgi")) return 2;
#endif
  serve_request();
}

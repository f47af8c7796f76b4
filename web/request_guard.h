// The cross-site request guard: a page that changes the store must not be
// driven by another site the administrator's browser happens to show, since
// the browser sends the web server's login along with such a request.
//
// Browsers say where a request comes from in two headers, which the web
// server passes on as HTTP_SEC_FETCH_SITE and HTTP_ORIGIN. A request is
// cross-site when
//   - Sec-Fetch-Site is "cross-site" or "same-site" (a neighbouring host
//     under the same registered name is another site to us), or
//   - Origin is "null" (a sandboxed frame, a redirect from elsewhere), or
//     names a host or port other than the one the request was sent to
//     (HTTP_HOST), or cannot be read as scheme://host[:port].
// A request without these headers (scripts, curl, older browsers) is not
// cross-site, and "same-origin" and "none" (typed in, a bookmark) pass. An
// empty header counts as absent. Host names compare ignoring letter case; a
// missing port is the scheme's own (80 for http, 443 for https).
//
// Routines:
//   is_cross_site        the decision for the three header values (nullptr
//                        for an absent header). Pure; cannot fail.
//   cross_site_request   the decision for the captured environment of this
//                        request.
#pragma once

bool is_cross_site(const char* sec_fetch_site, const char* origin, const char* host);

bool cross_site_request();

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
//     names a scheme, host or port other than the ones the request came in
//     by, or cannot be read as scheme://host[:port].
// The request's own scheme is https when the web server set HTTPS (to
// anything but "off"), http otherwise; its host is HTTP_HOST; its port is
// the one HTTP_HOST names, else SERVER_PORT, else the scheme's own. A page
// served over https is another origin than the same host over http, and
// the Origin's scheme never decides which default port the request has.
// A request without these headers (scripts, curl, older browsers) is not
// cross-site, and "same-origin" and "none" (typed in, a bookmark) pass. An
// empty header counts as absent. Host names compare ignoring letter case; a
// missing port is the scheme's own (80 for http, 443 for https).
//
// These headers cannot vouch for a GET: a link in a mail program ("none")
// or an image on an old browser (no header at all) passes them. The
// changing commands therefore also require a POST (pages/changing_commands.h).
//
// Routines:
//   is_cross_site        the decision for the header values and the
//                        request's own HTTPS and SERVER_PORT (nullptr for an
//                        absent one). Pure; cannot fail.
//   cross_site_request   the decision for the captured environment of this
//                        request.
#pragma once

bool is_cross_site(const char* sec_fetch_site, const char* origin, const char* host,
                   const char* https, const char* server_port);

bool cross_site_request();

#include "web/request_guard.h"

#include <gtest/gtest.h>

namespace {

// How Origin is compared with the request's own scheme, host and port;
// Sec-Fetch-Site and the whole request are covered end to end with the
// pages. https and port are the web server's HTTPS and SERVER_PORT.
TEST(RequestGuard, OriginMustNameTheSchemeHostAndPortTheRequestCameIn) {
  const struct {
    const char* origin;
    const char* host;
    const char* https;
    const char* port;
    bool cross;
  } cases[] = {
      {"https://mail.example.com", "mail.example.com", "on", nullptr, false},
      {"https://Mail.Example.COM", "mail.example.com", "on", nullptr, false},
      {"http://mail.example.com", "mail.example.com:80", nullptr, nullptr, false},
      {"https://mail.example.com:443", "mail.example.com", "on", nullptr, false},
      {"HTTPS://mail.example.com", "mail.example.com", "ON", "443", false},
      {"http://127.0.0.1:8080", "127.0.0.1:8080", nullptr, nullptr, false},
      {"http://127.0.0.1:08080", "127.0.0.1:8080", nullptr, nullptr, false},
      {"http://127.0.0.1:8080", "127.0.0.1", nullptr, "8080", false},
      {"http://mail.example.com", "mail.example.com", "off", "80", false},
      {"http://mail.example.com", "mail.example.com", "", nullptr, false},
      {"http://[::1]:8080", "[::1]:8080", nullptr, nullptr, false},
      {"https://mail.example.com", "mail.example.com:8443", "on", nullptr, true},
      {"http://mail.example.com", "mail.example.com:443", nullptr, nullptr, true},
      {"http://127.0.0.1:8081", "127.0.0.1:8080", nullptr, nullptr, true},
      {"https://evil.example", "mail.example.com", "on", nullptr, true},
      {"https://mail.example.com.evil.example", "mail.example.com", "on", nullptr, true},
      {"http://[::1]:8081", "[::1]:8080", nullptr, nullptr, true},
      // The scheme and the default port are the request's, not the Origin's.
      {"http://mail.example.com", "mail.example.com", "on", "443", true},
      {"http://mail.example.com:443", "mail.example.com", "on", "443", true},
      {"https://mail.example.com", "mail.example.com", nullptr, "80", true},
      {"https://mail.example.com", "mail.example.com", nullptr, nullptr, true},
      {"https://mail.example.com", "mail.example.com", "off", "443", true},
      {"http://mail.example.com", "mail.example.com", nullptr, "8080", true},
      {"https://mail.example.com", "mail.example.com", "on", "8443", true},
      {"https://mail.example.com", "mail.example.com", "on", "x", true},
      {"null", "mail.example.com", nullptr, nullptr, true},
      {"mail.example.com", "mail.example.com", nullptr, nullptr, true},
      {"https://", "mail.example.com", "on", nullptr, true},
      {"https://mail.example.com:", "mail.example.com", "on", nullptr, true},
      {"https://mail.example.com:x", "mail.example.com", "on", nullptr, true},
      {"https://[::1", "[::1]", "on", nullptr, true},
      {"https://mail.example.com", nullptr, "on", nullptr, true},
      {"https://mail.example.com", "", "on", nullptr, true},
      {"", "mail.example.com", nullptr, nullptr, false},
      {nullptr, nullptr, nullptr, nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_cross_site(nullptr, c.origin, c.host, c.https, c.port), c.cross)
        << (c.origin ? c.origin : "(none)") << " / " << (c.host ? c.host : "(none)") << " / "
        << (c.https ? c.https : "(none)") << " / " << (c.port ? c.port : "(none)");
  }
}

}  // namespace

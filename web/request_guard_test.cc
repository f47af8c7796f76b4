#include "web/request_guard.h"

#include <gtest/gtest.h>

namespace {

// How Origin and Host are compared; Sec-Fetch-Site and the whole request
// are covered end to end with the pages.
TEST(RequestGuard, OriginMustNameTheHostTheRequestWentTo) {
  const struct {
    const char* origin;
    const char* host;
    bool cross;
  } cases[] = {
      {"https://mail.example.com", "mail.example.com", false},
      {"https://Mail.Example.COM", "mail.example.com", false},
      {"http://mail.example.com", "mail.example.com:80", false},
      {"https://mail.example.com:443", "mail.example.com", false},
      {"http://127.0.0.1:8080", "127.0.0.1:8080", false},
      {"http://127.0.0.1:08080", "127.0.0.1:8080", false},
      {"http://[::1]:8080", "[::1]:8080", false},
      {"https://mail.example.com", "mail.example.com:8443", true},
      {"http://mail.example.com", "mail.example.com:443", true},
      {"http://127.0.0.1:8081", "127.0.0.1:8080", true},
      {"https://evil.example", "mail.example.com", true},
      {"https://mail.example.com.evil.example", "mail.example.com", true},
      {"http://[::1]:8081", "[::1]:8080", true},
      {"null", "mail.example.com", true},
      {"mail.example.com", "mail.example.com", true},
      {"https://", "mail.example.com", true},
      {"https://mail.example.com:", "mail.example.com", true},
      {"https://mail.example.com:x", "mail.example.com", true},
      {"https://[::1", "[::1]", true},
      {"https://mail.example.com", nullptr, true},
      {"https://mail.example.com", "", true},
      {"", "mail.example.com", false},
      {nullptr, nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_cross_site(nullptr, c.origin, c.host), c.cross)
        << (c.origin ? c.origin : "(none)") << " / " << (c.host ? c.host : "(none)");
  }
}

}  // namespace

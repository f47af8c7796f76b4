// The cross-site guard's header parsing: Sec-Fetch-Site, Origin and Host
// split from the input at NUL bytes, for a plain http request (no HTTPS, no
// SERVER_PORT). Whatever they hold, a request whose Origin is its own Host
// is never refused.
#include <string>

#include "fuzz/fuzz_common.h"
#include "web/request_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(fuzz_bytes(data, size));
  std::string parts[3];
  size_t start = 0;
  for (std::string& part : parts) {
    size_t end = text.find('\0', start);
    part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  is_cross_site(parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), nullptr, nullptr);
  // A plain name with an optional port, sent back as its own origin.
  const std::string& host = parts[2];
  size_t colon = host.find(':');
  std::string name = host.substr(0, colon);
  std::string port = colon == std::string::npos ? "" : host.substr(colon + 1);
  bool plain = !name.empty() && name.find_first_not_of(
                                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
                                    std::string::npos;
  bool port_ok = colon == std::string::npos ||
                 (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos);
  if (plain && port_ok) {
    std::string same = "http://" + host;
    fuzz_require(!is_cross_site(nullptr, same.c_str(), host.c_str(), nullptr, nullptr),
                 "a request from its own origin passes");
  }
  return 0;
}

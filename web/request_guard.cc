#include "web/request_guard.h"

#include <cctype>
#include <optional>
#include <string>
#include <string_view>

#include "web/form.h"

namespace {

struct HostPort {
  std::string host;  // small letters; an IPv6 literal keeps its brackets
  std::string port;  // digits, "" when none was given
};

bool given(const char* header) { return header != nullptr && header[0] != '\0'; }

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool all_digits(std::string_view text) {
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// "host", "host:port", "[v6]" or "[v6]:port"; none when it is malformed.
std::optional<HostPort> split_host(std::string_view text) {
  HostPort out;
  size_t colon = std::string_view::npos;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return std::nullopt;
      colon = close + 1;
    }
  } else {
    colon = text.find(':');
  }
  out.host = lower(text.substr(0, colon));
  if (colon != std::string_view::npos) {
    out.port = std::string(text.substr(colon + 1));
    if (out.port.empty() || !all_digits(out.port)) return std::nullopt;
  }
  if (out.host.empty()) return std::nullopt;
  return out;
}

// Ports compare by value: "080" and "80" are one port.
std::string port_value(const std::string& port, std::string_view scheme) {
  if (port.empty()) return scheme == "https" ? "443" : "80";
  size_t first = port.find_first_not_of('0');
  return first == std::string::npos ? "0" : port.substr(first);
}

// The scheme the request came in by, as the web server says.
std::string request_scheme(const char* https) {
  return given(https) && lower(https) != "off" ? "https" : "http";
}

bool origin_differs(std::string_view origin, const char* host_header, const char* https,
                    const char* server_port) {
  if (origin == "null") return true;
  size_t mark = origin.find("://");
  if (mark == std::string_view::npos || !given(host_header)) return true;
  const std::string scheme = request_scheme(https);
  if (lower(origin.substr(0, mark)) != scheme) return true;
  std::optional<HostPort> from = split_host(origin.substr(mark + 3));
  std::optional<HostPort> to = split_host(host_header);
  if (!from || !to) return true;
  // The port the browser used is in Host unless it was its scheme's own,
  // where SERVER_PORT says which one the server took it on.
  std::string own_port = to->port;
  if (own_port.empty() && given(server_port)) {
    if (!all_digits(server_port)) return true;
    own_port = server_port;
  }
  return from->host != to->host || port_value(from->port, scheme) != port_value(own_port, scheme);
}

}  // namespace

bool is_cross_site(const char* sec_fetch_site, const char* origin, const char* host,
                   const char* https, const char* server_port) {
  if (given(sec_fetch_site)) {
    std::string_view site(sec_fetch_site);
    if (site == "cross-site" || site == "same-site") return true;
  }
  return given(origin) && origin_differs(origin, host, https, server_port);
}

bool cross_site_request() {
  return is_cross_site(env_value("HTTP_SEC_FETCH_SITE"), env_value("HTTP_ORIGIN"),
                       env_value("HTTP_HOST"), env_value("HTTPS"), env_value("SERVER_PORT"));
}

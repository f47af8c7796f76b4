#include "base/address.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "base/site.h"
#include "base/text.h"

namespace {

// The default-domain file is site data that does not change while a request
// runs, so one read per site root serves the whole process; an absent file
// is remembered as the empty text, not retried. Keyed by root, a process
// that works under several roots reads each root's own file.
std::map<std::string, std::string>& default_domain_cache() {
  static std::map<std::string, std::string> cache;
  return cache;
}

// Characters a default domain from the environment may keep; any other one
// becomes "_", so the variable can never smuggle a path or a line break into
// the names built from it.
constexpr std::string_view kEnvDomainChars =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890_-.@";

constexpr std::string_view kUserPunctuation = "!#$&'*+-./=?^_`{|}~";

bool ascii_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool user_char_ok(unsigned char c) {
  return ascii_alnum(c) || kUserPunctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

bool domain_char_ok(unsigned char c) { return ascii_alnum(c) || c == '-' || c == '.'; }

template <typename Pred>
int all_chars(std::string_view name, Pred ok) {
  for (unsigned char c : name) {
    if (!ok(c)) return -1;
  }
  return 0;
}

// The part of an address in front of its separator and the part after it.
// "@" wins over "%", which wins over "/", wherever each stands.
size_t separator_position(std::string_view address) {
  for (char separator : {'@', '%', '/'}) {
    size_t at = address.find(separator);
    if (at != std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

// TESSERA_DOMAIN with every disallowed character replaced. The cleaned value
// is also written back into the environment, so qmail's tools and anything
// else this process starts see the same safe value.
std::string cleaned_env_domain(const char* raw) {
  std::string value(raw);
  bool changed = false;
  for (char& c : value) {
    if (kEnvDomainChars.find(c) == std::string_view::npos) {
      c = '_';
      changed = true;
    }
  }
  if (changed) setenv("TESSERA_DOMAIN", value.c_str(), 1);
  return value;
}

// The first line of the file, without its "\n", at most 96 characters. A NUL
// byte ends the text as well: the value goes into file names.
std::string read_first_line(const std::string& path) {
  std::string line;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return line;
  for (int c; line.size() < kDefaultDomainLimit && (c = std::getc(file)) != EOF;) {
    if (c == '\n' || c == '\0') break;
    line.push_back(static_cast<char>(c));
  }
  std::fclose(file);
  return line;
}

}  // namespace

void lower_name(std::string& name) {
  cut_text(name, kNameLimit);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

int user_name_ok(std::string_view name) { return all_chars(name, user_char_ok); }

int domain_name_ok(std::string_view name) { return all_chars(name, domain_char_ok); }

int new_user_name_ok(std::string_view name) {
  if (!name.empty() && name.front() == '.') return -1;
  return user_name_ok(name);
}

int new_domain_name_ok(std::string_view name) {
  if (domain_name_ok(name) != 0) return -1;
  for (size_t start = 0;;) {
    size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (label.empty() || label.front() == '-' || label.back() == '-') return -1;
    if (dot == std::string_view::npos) return 0;
    start = dot + 1;
  }
}

int split_address(std::string& address, std::string& user, std::string& domain,
                  std::size_t buffer_size) {
  lower_name(address);
  std::string_view text(address);
  size_t at = separator_position(text);
  if (at == std::string_view::npos) {
    user.assign(text);
    domain.clear();
  } else {
    user.assign(text.substr(0, at));
    domain.assign(text.substr(at + 1));
  }
  // A part keeps what a buffer of buffer_size bytes holds with its end mark.
  size_t part_limit = buffer_size > 0 ? buffer_size - 1 : 0;
  cut_text(user, part_limit);
  cut_text(domain, part_limit);

  if (user_name_ok(user) != 0) {
    std::fprintf(stderr, "user invalid %s\n", user.c_str());
    return -1;
  }
  if (domain_name_ok(domain) != 0) {
    std::fprintf(stderr, "domain invalid %s\n", domain.c_str());
    return -1;
  }
  apply_default_domain(domain);
  cut_text(domain, part_limit);
  return 0;
}

void apply_default_domain(std::string& domain) {
  if (!domain.empty()) return;
  const char* env = std::getenv("TESSERA_DOMAIN");
  domain = env != nullptr ? cleaned_env_domain(env) : default_domain_file();
  cut_text(domain, kDefaultDomainLimit);
}

const std::string& default_domain_file() {
  auto& cache = default_domain_cache();
  auto found = cache.find(site_root());
  if (found == cache.end()) {
    found = cache.emplace(site_root(), read_first_line(default_domain_path())).first;
  }
  return found->second;
}

// tessera limits show|set|del.
#include <cstdio>

#include "base/error.h"
#include "cli/command.h"
#include "domains/assign.h"
#include "domains/limits.h"

namespace {

int show_limits(const std::string& domain) {
  domain_limits limits;
  if (get_domain_limits(domain, limits) != 0) return report_failure(kErrDomainLimits);
  fputs(format_limits(limits).c_str(), stdout);
  return 0;
}

// A fresh record read from the file (or standard input) becomes the
// domain's file, in the canonical form.
int set_limits(const std::string& domain, const std::string& source) {
  domain_limits limits;
  if (read_limits_file(source == "-" ? "/dev/stdin" : source, limits) != 0) {
    return report_failure(kErrDomainLimits);
  }
  int result = write_domain_limits(domain, limits);
  return result == 0 ? 0 : report_failure(result == kErrNoDomain ? kErrNoDomain : kErrUpdateFile);
}

int delete_limits(const std::string& domain) {
  if (delete_domain_limits(domain) != 0) return report_failure("no limits file");
  return 0;
}

}  // namespace

int limits_command(const Words& words) {
  if (words.size() < 2) return kUsageStatus;
  const std::string& command = words[0];
  const std::string& domain = words[1];
  size_t arguments = words.size() - 1;
  bool known_shape = (command == "show" && arguments == 1) ||
                     (command == "set" && arguments == 2) || (command == "del" && arguments == 1);
  if (!known_shape) return kUsageStatus;
  if (!domain_exists(domain)) return report_failure(kErrNoDomain);
  if (command == "show") return show_limits(domain);
  if (command == "set") return set_limits(domain, words[2]);
  return delete_limits(domain);
}

// tessera limits show|set|del.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/mailbox.h"
#include "base/error.h"
#include "cli/command.h"
#include "cli/json.h"
#include "domains/assign.h"
#include "domains/limits.h"

namespace {

// The lines of a limits text, without their line ends.
std::vector<std::string> text_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Every key of the limits file, in the file's order, with the value the
// record gives it: numbers as numbers, service flags as true or false. The
// keys come from the canonical writer itself (a record with every flag set
// names them all), so the two outputs can never disagree.
std::string limits_json(const domain_limits& limits) {
  domain_limits every_flag;
  every_flag.disable_pop = every_flag.disable_imap = every_flag.disable_dialup = 1;
  every_flag.disable_password_changing = every_flag.disable_webmail = 1;
  every_flag.disable_external_relay = every_flag.disable_smtp = 1;
  every_flag.disable_spamassassin = every_flag.delete_spam = every_flag.disable_maildrop = 1;
  std::vector<std::string> shown = text_lines(format_limits(limits));
  JsonObject object;
  for (const std::string& line : text_lines(format_limits(every_flag))) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos) {
      bool set = std::find(shown.begin(), shown.end(), line) != shown.end();
      object.boolean(line, set);
      continue;
    }
    std::string key = line.substr(0, colon + 2);
    for (const std::string& value : shown) {
      if (value.starts_with(key)) object.document(line.substr(0, colon), value.substr(key.size()));
    }
  }
  return object.object();
}

int show_limits(const DomainName& domain) {
  domain_limits limits;
  if (get_domain_limits(domain, limits) != 0) return report_failure(kErrDomainLimits);
  if (json_output()) {
    print_json(limits_json(limits));
    return 0;
  }
  fputs(format_limits(limits).c_str(), stdout);
  return 0;
}

// A fresh record read from the file (or standard input) becomes the
// domain's file, in the canonical form.
int set_limits(const DomainName& domain, const std::string& source) {
  domain_limits limits;
  if (read_limits_file(source == "-" ? "/dev/stdin" : source, limits) != 0) {
    return report_failure(kErrDomainLimits);
  }
  int result = write_domain_limits(domain, limits);
  if (result != 0) return report_failure(result == kErrNoDomain ? kErrNoDomain : kErrUpdateFile);
  return report_done(0, domain, "limits set");
}

int delete_limits(const DomainName& domain) {
  if (delete_domain_limits(domain) != 0) return report_failure("no limits file");
  return report_done(0, domain, "limits removed");
}

}  // namespace

int limits_command(const Words& words) {
  if (words.size() < 2) return kUsageStatus;
  const std::string& command = words[0];
  // The domain as the store names it, for every step and the line that
  // says what was done.
  const DomainName domain(words[1]);
  size_t arguments = words.size() - 1;
  bool known_shape = (command == "show" && arguments == 1) ||
                     (command == "set" && arguments == 2) || (command == "del" && arguments == 1);
  if (!known_shape) return kUsageStatus;
  if (!domain_exists(domain)) return report_failure(kErrNoDomain);
  if (command == "show") return show_limits(domain);
  if (command == "set") return set_limits(domain, words[2]);
  return delete_limits(domain);
}

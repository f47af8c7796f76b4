#include "pages/changing_commands.h"

#include <strings.h>

#include <cstdlib>
#include <ctime>
#include <string_view>

#include "base/address.h"
#include "base/audit_log.h"
#include "web/form.h"
#include "web/page.h"
#include "web/request_guard.h"

namespace {

// An alias domain is logged by the alias it adds; the domain it joins is in
// the page's own fields only.
constexpr ChangingCommand kChangingCommands[] = {
    {"add_domain", "dname", AuditName::kStoreName},
    {"del_domain", "dname", AuditName::kStoreName},
    {"mod_domain", "dname", AuditName::kStoreName},
    {"add_alias_domain", "adname", AuditName::kStoreName},
    {"add_user", "eaddr", AuditName::kStoreName},
    {"del_user", "eaddr", AuditName::kStoreName},
    {"mod_user", "eaddr", AuditName::kStoreName},
    {"modify_file", "file_name", AuditName::kAsGiven},
    {"delete_file", "file_name", AuditName::kAsGiven},
};

// The request being logged; filled before the guard and the handler run,
// written out by the exit hook whichever way the process ends.
struct AuditState {
  const ChangingCommand* command = nullptr;
  std::string object;
};

AuditState audit;

const char* env_or_empty(const char* name) {
  const char* value = env_value(name);
  return value != nullptr ? value : "";
}

void write_audit_line() {
  if (audit.command == nullptr) return;
  std::string result = audit_result();
  AuditRecord record;
  record.time = time(nullptr);
  record.admin = env_or_empty("REMOTE_USER");
  record.address = env_or_empty("REMOTE_ADDR");
  record.command = audit.command->nav;
  record.object = audit.object;
  record.result = result;
  // A line that cannot be written changes neither the page nor the status.
  (void)audit_append(audit_line(record));
}

}  // namespace

std::span<const ChangingCommand> changing_command_table() { return kChangingCommands; }

const ChangingCommand* changing_command(const char* nav) {
  for (const ChangingCommand& command : kChangingCommands) {
    if (strcasecmp(command.nav, nav) == 0) return &command;
  }
  return nullptr;
}

std::string audit_object(const ChangingCommand& command) {
  const char* value = form_value(command.field);
  std::string object = value != nullptr ? value : "";
  // The store lower-cases and cuts names before it uses them (an address
  // split does so too), so the log names what was really touched.
  if (command.name == AuditName::kStoreName) lower_name(object);
  return object;
}

std::string audit_result() {
  // Printing the message list turns its "$" separators into terminators,
  // so both end a message here.
  std::string result;
  std::string_view list(page.message_list, static_cast<size_t>(page.message_used));
  size_t start = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] != '$' && list[i] != '\0') continue;
    if (!result.empty()) result += "; ";
    result.append(list.substr(start, i - start));
    start = i + 1;
  }
  if (!page.error_text.empty()) {
    if (!result.empty()) result += "; ";
    result += page.error_text;
  }
  return result;
}

void guard_changing_command(const ChangingCommand& command) {
  audit.command = &command;
  audit.object = audit_object(command);
  std::atexit(write_audit_line);
  if (cross_site_request()) request_error("Cross-site request refused");
}

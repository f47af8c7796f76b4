#include "pages/scope_check.h"

#include <optional>
#include <string>
#include <string_view>

#include "domains/assign.h"
#include "pages/changing_commands.h"
#include "web/form.h"
#include "web/page.h"
#include "web/scope.h"

namespace {

constexpr char kMainPage[] = "html/main.html";

[[noreturn]] void refuse(const Command& command, std::string_view message) {
  arm_audit_line(command);
  add_message(message);
  print_final_page(kMainPage);
}

// The domain a given field names, as the store will take it: an address
// is split as the account pages split it (the default domain filled in).
void check_field(const Command& command, const char* field, ObjectKind kind) {
  const char* value = form_value(field);
  if (value == nullptr || value[0] == '\0') return;
  const DomainName domain =
      kind == ObjectKind::kAddress ? parse_address(value).mailbox.domain : DomainName(value);
  if (manages_domain(domain)) return;
  std::string message = "Domain " + domain.str() + " is not yours to manage";
  refuse(command, field_text(message, kTextField));
}

}  // namespace

bool manages_domain(const DomainName& name) {
  if (!scope.scoped) return true;
  if (std::optional<DomainHome> home = find_domain_home(name)) return scope_lists(home->domain);
  return scope_lists(name);
}

void refuse_outside_scope(const Command& command) {
  if (!scope.scoped) return;
  switch (command.kind) {
    case ObjectKind::kDomainList: return;
    case ObjectKind::kControlFile: refuse(command, kControlFilesNotYours);
    case ObjectKind::kDomain:
    case ObjectKind::kAddress: check_field(command, command.object, command.kind); break;
  }
  if (command.joins != nullptr) check_field(command, command.joins, ObjectKind::kDomain);
}

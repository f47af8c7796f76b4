#include "pages/changing_commands.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "base/address.h"
#include "base/mailbox.h"
#include "base/audit_log.h"
#include "web/form.h"
#include "web/page.h"
#include "web/request_guard.h"

namespace {

// The request being logged; filled before the guard and the handler run.
// Its line is written once: just before the page goes out, or, on a way
// out without a page, when the process ends.
struct AuditState {
  const Command* command = nullptr;
  std::string object;
  bool written = false;
};

AuditState audit;

const char* env_or_empty(const char* name) {
  const char* value = env_value(name);
  return value != nullptr ? value : "";
}

// A line that cannot be written changes neither what was done nor the
// status, but it is never lost in silence: the web server's error log gets
// it, and so does the page when one is still to come.
void write_audit_line(bool page_follows) {
  if (audit.command == nullptr || audit.written) return;
  audit.written = true;
  std::string result = audit_result();
  AuditRecord record;
  record.time = time(nullptr);
  record.admin = env_or_empty("REMOTE_USER");
  record.address = env_or_empty("REMOTE_ADDR");
  record.command = audit.command->nav;
  record.object = audit.object;
  record.result = result;
  if (audit_append(audit_line(record)) == 0) return;
  std::fprintf(stderr, "%s\n", kAuditNotWritten);
  if (page_follows) add_message(kAuditNotWritten);
}

// The page printer runs this before the first byte of the page: by then
// the store has reported the result, and the line is on disk before a
// client that hangs up, or a kill, can end the process.
void write_audit_line_before_page() { write_audit_line(true); }

// The fallback for a process that ends without printing a page.
void write_audit_line_at_exit() { write_audit_line(false); }

}  // namespace

std::string audit_object(const Command& command) {
  const char* value = command.object != nullptr ? form_value(command.object) : nullptr;
  std::string object = value != nullptr ? value : "";
  // The store takes names normalised as a DomainName is (an address split
  // lower-cases and cuts the same way), so the log names what was really
  // touched.
  if (command.kind != ObjectKind::kControlFile) return DomainName(object).str();
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

void arm_audit_line(const Command& command) {
  if (audit.command != nullptr) return;
  audit.command = &command;
  audit.object = audit_object(command);
  set_before_page(write_audit_line_before_page);
  std::atexit(write_audit_line_at_exit);
}

void guard_changing_command(const Command& command) {
  arm_audit_line(command);
  if (cross_site_request()) request_error("Cross-site request refused", kStatusForbidden);
  // A GET is what a link or an image sends, and a link opened from a mail
  // program or an image on an older browser carries no header the guard
  // could judge, so no GET may change anything. A GET that names no object
  // still reaches the handler: its first step stops at the missing object
  // and shows the command's form, as the pages' own links expect.
  if (!request.post && form_value(command.object) != nullptr) {
    request_error("Cross-site request refused", kStatusForbidden);
  }
}

// The commands that change the store, and what every one of them passes
// through before its handler runs: the cross-site request guard
// (web/request_guard.h) and the audit log (base/audit_log.h). Keeping both
// here, in one table the dispatcher consults, means no handler can forget
// either.
//
// Audit line of a request, written once the store has reported the result,
// just before the page goes out (a handler's page, a request error, a
// refusal), or when the process ends on a way out without a page. A line
// that cannot be written is reported: kAuditNotWritten on stderr (the web
// server's error log) and, when a page follows, as one of its messages.
//   ADMIN    REMOTE_USER;  ADDRESS  REMOTE_ADDR;  COMMAND  the table's name
//   OBJECT   the form field the command names its object by (the table's
//            field), as the store will see it: domain names and addresses
//            lower-cased and cut as the store's name rules do, control-file
//            names as given; "-" when the field is absent or empty
//   RESULT   the page's messages and the request error, joined by "; "
//
// Routines:
//   changing_command      the table's row for a command name (compared
//                         ignoring case), or nullptr for a command that only
//                         shows.
//   changing_command_table  the nine rows.
//   audit_object          OBJECT for a row and this request's form.
//   audit_result          RESULT from the page state as it stands.
//   guard_changing_command  arms the audit line for the row, then refuses
//                         with the request error "Cross-site request
//                         refused" (the process ends; nothing was changed)
//                         a cross-site request, and a GET that names the
//                         row's object: a change runs only from a POST. A
//                         GET without the object field goes on to the
//                         handler, which stops at the missing object with
//                         the command's form page. Returns when the handler
//                         may run.
#pragma once

#include <span>
#include <string>

// How a command's object is written to the log.
enum class AuditName {
  kStoreName,  // a domain or address: lower-cased and cut, as the store takes it
  kAsGiven,    // a control-file name
};

struct ChangingCommand {
  const char* nav;    // the command, in small letters
  const char* field;  // the form field naming the object
  AuditName name;
};

std::span<const ChangingCommand> changing_command_table();

const ChangingCommand* changing_command(const char* nav);

std::string audit_object(const ChangingCommand& command);

std::string audit_result();

void guard_changing_command(const ChangingCommand& command);

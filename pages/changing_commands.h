// What every command that changes the store passes through before its
// handler runs: the cross-site request guard (web/request_guard.h) and the
// audit log (base/audit_log.h). The dispatcher applies both to each row of
// its command table (pages/dispatch.h) marked as changing, so no handler
// can forget either.
//
// Audit line of a request, written once the store has reported the result,
// just before the page goes out (a handler's page, a request error, a
// refusal), or when the process ends on a way out without a page. A line
// that cannot be written is reported: kAuditNotWritten on stderr (the web
// server's error log) and, when a page follows, as one of its messages.
//   ADMIN    REMOTE_USER;  ADDRESS  REMOTE_ADDR;  COMMAND  the table's name
//   OBJECT   the form field the command names its object by (the row's
//            object), as the store will see it: domain names and addresses
//            lower-cased and cut as the store's name rules do, control-file
//            names as given; "-" when the field is absent or empty
//   RESULT   the page's messages and the request error, joined by "; "
//
// A domain administrator's refused request (pages/scope_check.h) is logged
// the same way, whether or not its command changes the store.
//
// Routines:
//   audit_object          OBJECT for a row and this request's form ("" for a
//                         row that names no object field).
//   audit_result          RESULT from the page state as it stands.
//   arm_audit_line        makes the request one that leaves its line, for
//                         the row; a request already armed stays as it is.
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

#include <string>

#include "pages/dispatch.h"

std::string audit_object(const Command& command);

std::string audit_result();

void arm_audit_line(const Command& command);

void guard_changing_command(const Command& command);

// The request order and the dispatcher: header, page state, language,
// input, then a fixed page (PATH_INFO "/show/NAME") or the handler that the
// form variable nav names. Every path ends the process after one page.
//
// One table says everything the dispatcher does around a page before its
// handler runs, so a page added to it cannot skip a step by omission:
//   1. a command that changes the store passes the cross-site request guard
//      and leaves a line in the audit log (pages/changing_commands.h);
//   2. a command that needs a right, and whose administrator lacks it, gets
//      its denial message on its denial page (always html/main.html), which
//      ends the request (and, for a changing command, is logged);
//   3. the handler runs.
// Handlers therefore start after their right check.
#pragma once

#include <cstddef>
#include <span>

#include "web/acl.h"

using PageHandler = void (*)();

// The control-file pages need no right.
inline constexpr Right kNoRight = static_cast<Right>(0);

// How a changing command's object is written to the audit log.
enum class AuditName {
  kStoreName,  // a domain or address: lower-cased and cut, as the store takes it
  kAsGiven,    // a control-file name
};

struct Command {
  const char* nav;      // compared ignoring letter case
  PageHandler handler;  // nullptr: not built yet, the main page is shown
  Right right;          // kNoRight: every administrator may run it
  const char* denied;   // the message without the right
  const char* denied_page;
  bool changes;         // changes the store: guarded and logged
  const char* object;   // the form field naming what a changing command touches
  AuditName audit_name;
};

// The fifteen commands, in the order they are compared.
std::span<const Command> command_table();

// The first command whose name equals nav ignoring case, or nullptr.
const Command* find_command(const char* nav);

// Serves one CGI request from start to end; never returns.
[[noreturn]] void serve_request();

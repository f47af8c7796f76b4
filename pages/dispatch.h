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
//   3. a domain administrator (web/scope.h) is refused a command whose
//      object is not theirs, and every control-file command, on
//      html/main.html, and the refusal is logged (pages/scope_check.h);
//   4. the handler runs.
// Handlers therefore start after their right check.
#pragma once

#include <cstddef>
#include <span>

#include "web/acl.h"

using PageHandler = void (*)();

// The control-file pages need no right.
inline constexpr Right kNoRight = static_cast<Right>(0);

// What a command's object is: how a domain administrator's request is
// checked, and how the object is written to the audit log.
enum class ObjectKind {
  kDomain,       // a domain name; logged lower-cased and cut, as the store takes it
  kAddress,      // an address, whose domain is what is checked; logged as a domain
  kControlFile,  // a control file of the whole host; logged as given
  kDomainList,   // names no object: the list shows only the administrator's domains
};

struct Command {
  const char* nav;      // compared ignoring letter case
  PageHandler handler;  // nullptr: not built yet, the main page is shown
  Right right;          // kNoRight: every administrator may run it
  const char* denied;   // the message without the right
  const char* denied_page;
  bool changes;         // changes the store: guarded and logged
  const char* object;   // the form field naming what the command touches
  ObjectKind kind;
  // A further domain field the command touches, checked as the object is
  // (the real domain a new alias domain joins); nullptr: none.
  const char* joins = nullptr;
};

// The commands (the fifteen of the pages, then the routing pages), in the
// order they are compared.
std::span<const Command> command_table();

// The first command whose name equals nav ignoring case, or nullptr.
const Command* find_command(const char* nav);

// Serves one CGI request from start to end; never returns.
[[noreturn]] void serve_request();

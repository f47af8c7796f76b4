// The request order and the dispatcher: header, page state, language,
// input, then a fixed page (PATH_INFO "/show/NAME") or the handler that the
// form variable nav names. Every path ends the process after one page.
// Commands that change the store first pass the cross-site request guard
// and leave a line in the audit log (pages/changing_commands.h).
#pragma once

#include <cstddef>
#include <span>

using PageHandler = void (*)();

struct Command {
  const char* nav;      // compared ignoring letter case
  PageHandler handler;  // nullptr: not built yet, the main page is shown
};

// The fifteen commands, in the order they are compared.
std::span<const Command> command_table();

// The first command whose name equals nav ignoring case, or nullptr.
const Command* find_command(const char* nav);

// Serves one CGI request from start to end; never returns.
[[noreturn]] void serve_request();

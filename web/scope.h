// Domain administrators: which domains the administrator may manage, read
// once per request from larkspur.scope beside larkspur.acl, right after the
// access list.
//
// File format: one line per administrator, "NAME DOMAIN[,DOMAIN...]": the
// name as the web server passes it (compared exactly, as the access list
// does), a run of blanks or tabs, then domain names separated by commas
// (lower-cased and cut as the store takes a name). Lines whose first
// non-blank character is "#", and lines of blanks only, are skipped; a
// carriage return before the newline is dropped. A name on several lines
// gets the domains of all of them. A last line without a newline counts: the
// file narrows what an administrator may do, so no line of it is ever
// dropped in silence.
//
// An administrator the file names is scoped; one it does not name, and
// everyone when there is no file, is unscoped: what the access list allows,
// on every domain and the control files. Whether a domain belongs to a
// scoped administrator (an alias domain counts as its real domain's) is
// decided by the dispatcher, which can look names up (pages/scope_check.h).
//
// Routines:
//   scope_init        reads the file and sets `scope`. A missing file
//                     leaves everyone unscoped. A file that exists but
//                     cannot be read ("Unable to read larkspur.scope") and a
//                     malformed line ("Syntax error in larkspur.scope, line
//                     N") end the request with html/init_error.html, as a
//                     bad access list does. A scoped administrator's pages
//                     get the page variable "SC" = " hidden", which hides
//                     the control-file links of the menu and the main page.
//   split_scope_line  one line (without its newline): kSkipped for a comment
//                     or blank line, kMalformed for anything but exactly two
//                     words of which the second is a list of non-empty
//                     names, else kEntry with the name and the domains
//                     filled in. Prints nothing and never ends the request.
//   scope_lists       whether the administrator may manage the domain named
//                     exactly so (a real domain as the assignment table
//                     names it): always for an unscoped administrator.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr char kScopeFile[] = "larkspur.scope";

struct ScopeState {
  bool scoped = false;               // the file names the administrator
  std::vector<std::string> domains;  // theirs, lower-cased, in file order
};

extern ScopeState scope;

void scope_init();

enum class ScopeLine { kSkipped, kMalformed, kEntry };

ScopeLine split_scope_line(std::string_view line, std::string* name,
                           std::vector<std::string>* domains);

bool scope_lists(const std::string& domain);

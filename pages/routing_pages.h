// The routing pages of a domain: its aliases (with the mailboxes' forwards
// shown beside them, read-only) and its catch-all on the domain view. The
// dispatcher checks each page's right, the cross-site guard and the audit
// log of the changing ones, and a domain administrator's scope, from the
// command table (pages/dispatch.cc) before the handler runs.
//
// Form fields: dname (the domain), aname (an alias's name, the part before
// the "@"), adest (its destinations: addresses separated by line ends,
// blanks, tabs or commas), ctype (bounce, delete, mailbox or forward),
// cuser (the catch-all's mailbox), caddr (the catch-all's address).
//
// Every name and destination shown comes from a request or a file and is
// HTML-escaped; the store's routines (accounts/routing.h) check and write.
#pragma once

#include <string>
#include <vector>

#include "base/mailbox.h"

// nav "show_aliases" (right V): html/show_aliases.html with DN (the real
// domain), AL (a table row per alias: its address and destinations) and AF
// (a row per mailbox with forwards: its name and the addresses of its
// .qmail's "&" lines). "Show Aliases: Failed: no domain name given" or
// "Show Aliases: Failed: domain does not exist" on html/main.html.
[[noreturn]] void show_aliases_page();

// nav "add_alias", "mod_alias", "del_alias" (right U): alias_add,
// alias_change, alias_delete, then the aliases page with "Alias ADDRESS
// created" ("changed", "deleted") or the store's message. A missing aname
// or adest: "Add Alias: Failed: Must supply alias name" ("... destinations";
// "Modify Alias", "Delete Alias") on the aliases page.
[[noreturn]] void add_alias_page();
[[noreturn]] void mod_alias_page();
[[noreturn]] void del_alias_page();

// nav "set_catchall" (right U): catchall_set from ctype and its field, then
// the domain view with "Catch-all set" or the store's message; a missing
// choice: "Catch-all: Failed: Must supply what becomes of the mail".
[[noreturn]] void set_catchall_page();

// The domain view's catch-all variables: CQ the .qmail-default line, one of
// CB, CD, CM, CF "checked" for its action, CU the mailbox, CX the address.
void fill_catchall_view(const DomainName& domain);

// The addresses of a destinations or forwards field, in their order:
// separated by blanks, tabs, commas, "\r" and "\n".
std::vector<std::string> split_destinations(const std::string& field);

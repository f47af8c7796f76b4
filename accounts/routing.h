// A domain's routing of addresses that are no mailbox: its aliases and its
// catch-all.
//
// An alias is kept as qmail-local reads it: DIR/.qmail-NAME in the domain's
// directory ("." in NAME written ":"), one destination a line, "&ADDRESS"
// for an address. Which files are aliases is one rule (is_alias_file),
// shared with the user list's alias table: a .qmail- file whose name holds
// neither "-owner" nor "-default" and whose first line runs no program
// (mailing lists and autoresponders are not aliases). The catch-all is the
// second argument of the delivery program's line in DIR/.qmail-default:
// what mail for a recipient without a mailbox becomes (parse_no_mailbox).
//
// Writers hold the domain's routing lock (DIR/.routing.lock, which the
// writers of mailboxes' forwards and vacation replies hold too), so the
// count against the domain's maxaliases and the write are one step against
// every other routing writer. The check that no mailbox has the name comes
// just before it: a password lookup may itself take the password file's
// lock to rebuild a missing index. A file is replaced through a private copy (DIR/.dot-qmail.PID,
// outside the .qmail- names, so neither qmail nor the user list ever takes
// a half-written copy for an address) renamed over it: a reader sees the
// old file or the new one. The copy gets the domain's uid and gid (where
// the process may give them) and mode 0600 before the rename; a rename or
// unlink acts on the name, never through a link, and files are read with
// read_dot_qmail, never through a link.
//
// Names come normalised (Mailbox, DomainName: lower-cased where they
// entered); an alias domain's routing is its real domain's.
//
// Routines:
//   destination_address  an alias's or catch-all's forward as it is
//                   stored: the address lower-cased, when it is one
//                   LOCAL@DOMAIN (LOCAL of mail-name characters, DOMAIN a
//                   host name with a dot) of at most kDestinationMax
//                   characters. None otherwise.
//   alias_name_ok   0 for a name an alias may take; kErrUserTooLong (more
//                   than 32 characters); kErrBadAliasName (empty, a "/" or
//                   ":", a "." in front, a character no mail name holds,
//                   "default", or holding "-owner" or "-default", which
//                   qmail and the user list treat as no alias).
//   alias_add       makes the alias NAME of the mailbox's domain with the
//                   destinations (each through destination_address; one
//                   given twice is kept once, in the first place). 0;
//                   alias_name_ok's codes; kErrNoDomain; kErrBadDestination
//                   (none given, or one that is no address; nothing
//                   written); kErrNameIsMailbox; kErrAliasExists (a .qmail-
//                   file of that name exists, alias or not);
//                   kErrDomainLimits (the limits cannot be read);
//                   kErrAliasLimit (the domain's maxaliases reached, -1 or
//                   any negative count being no cap); kErrUpdateFile (the
//                   lock or the write failed: no alias made).
//   alias_change    replaces an alias's destinations. The codes of
//                   alias_add, but kErrNoAlias where the alias is not
//                   there (no limit applies).
//   alias_set       alias_change for an alias that is there, else
//                   alias_add; *created says which (under one lock).
//   alias_delete    removes an alias: 0, kErrNoDomain, alias_name_ok's
//                   codes, kErrNoAlias, kErrUpdateFile.
//   alias_list      the domain's aliases by name, each with its
//                   destinations (alias_destinations); none with last_error
//                   kErrNoDomain.
//   alias_find      one alias: none with last_error kErrNoDomain, an
//                   alias_name_ok code or kErrNoAlias.
//   alias_destinations  the lines of an alias file as destinations: an
//                   address for a forward line, any other line as it
//                   stands; comments and empty lines left out.
//   is_alias_file   the rule above, for a directory entry and its text.
//   name_has_dot_qmail  whether anything stands at DIR/.qmail-NAME: qmail
//                   then follows that file for NAME, never the delivery
//                   program, so a mailbox of that name would get no mail.
//   delivery_argument  the second argument of a line that runs the delivery
//                   program ("tdelivermail", then "''", then a blank),
//                   trimmed of blanks and tabs; none for any other line.
//   catchall_get    the domain's catch-all: kind and target as
//                   parse_no_mailbox reads them, the mailbox's name for a
//                   path inside the domain's directory, and the first line
//                   itself (kUnknown when no such line). None with
//                   last_error kErrNoDomain.
//   catchall_set    rewrites .qmail-default as the one line
//                   "| HOME/bin/tdelivermail '' ARGUMENT" for a choice:
//                   "bounce", "delete", an address (destination_address),
//                   or the name of one of the domain's mailboxes (its
//                   directory). 0; kErrNoDomain; kErrBadDestination (an
//                   address that is none); kErrNoUser (no such mailbox);
//                   kErrUpdateFile (nothing changed).
//   routing_error_string  the message of a routing refusal (base/error.h,
//                   -60..-72: aliases here, forwards and vacation replies
//                   in accounts/mailbox_routing.h), else error_string's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/dot_qmail.h"
#include "base/error.h"
#include "base/mailbox.h"

// The longest destination address: "&", the address and its newline fit
// one piece of the user list (kDotQmailPiece).
inline constexpr size_t kDestinationMax = kDotQmailPiece - 2;

struct AliasEntry {
  std::string name;  // as addressed: ":" of the file name read as "."
  std::vector<std::string> destinations;
};

struct CatchAll {
  NoMailboxKind kind = NoMailboxKind::kUnknown;
  std::string target;   // the trimmed argument
  std::string mailbox;  // kPath inside the domain's directory: its user
  std::string line;     // .qmail-default's first line
};

std::optional<std::string> destination_address(std::string_view text);

StoreError alias_name_ok(const std::string& name);

StoreError alias_add(const Mailbox& alias, const std::vector<std::string>& destinations);

StoreError alias_change(const Mailbox& alias, const std::vector<std::string>& destinations);

StoreError alias_set(const Mailbox& alias, const std::vector<std::string>& destinations,
                     bool* created);

StoreError alias_delete(const Mailbox& alias);

std::optional<std::vector<AliasEntry>> alias_list(const DomainName& domain);

std::optional<AliasEntry> alias_find(const Mailbox& alias);

std::vector<std::string> alias_destinations(std::string_view text);

bool is_alias_file(std::string_view entry, std::string_view text);

bool name_has_dot_qmail(const std::string& domain_dir, const std::string& name);

std::optional<std::string> delivery_argument(std::string_view line);

std::optional<CatchAll> catchall_get(const DomainName& domain);

StoreError catchall_set(const DomainName& domain, const std::string& choice);

const char* routing_error_string(int32_t code);

// The user list of one domain (nav "show_users", right V): a page the
// program prints itself, without a template, styled by the language texts
// 055 (background), 056 (link and text colour), 057 (font face) and 058
// (font size), each cut to 29 characters.
//
// The page holds three tables: the accounts of the domain's password file
// in file order (at most 128000 rows) with their forward and vacation (read
// from the mailbox's .qmail), quota, domain-administrator flag and last
// login (never, while the record still holds the mark creation wrote); the
// aliases and forwards (the domain directory's .qmail-NAME
// files, less program deliveries and the -owner and -default files); and
// the mailing lists (.qmail-NAME files whose first line names
// ezmlm-reject). The alias table's heading links to the domain's aliases
// page, where they are changed; which files are aliases is the store's one
// rule (is_alias_file, accounts/routing.h). Failures before the page starts show html/main.html with
// one message; afterwards nothing is reported: an unreadable file counts
// as empty and an entry that cannot be opened is left out.
//
// A domain of more than kShowUsersPageRows accounts, or a list asked for
// with a name filter, is shown a page of kShowUsersPageRows rows at a time:
// the field page (1-based; missing, empty, zero or not a number: 1; past
// the end: the last page) picks the page, and filter keeps only the
// accounts whose name holds it, capitals and small letters alike. A line
// above the table says which rows are shown, with previous and next links
// (above and below the table) and a small GET form for the filter. One
// pass over the password file finds the page's rows and the totals; only
// the rows shown have their .qmail and lastauth read, so a page costs the
// same whatever the domain's size beyond that pass. The 128000-row limit
// holds for the domain: accounts past it are on no page. A domain of at
// most kShowUsersPageRows accounts asked for without a filter prints its
// one page exactly as it always has, with no paging line or form.
//
// Every text from a file or the request is HTML-escaped, and each value in
// a link is URL-encoded; plain names and addresses print exactly as they
// are. Dot-qmail files are read by accounts/dot_qmail.h (a plain file, never
// through a link, no further than its first kDotQmailReadMax bytes: a
// longer file is judged on that prefix), each once, and shown in pieces of
// kDotQmailPiece bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/dot_qmail.h"
#include "accounts/open_dir.h"

// Rows of the accounts table, at most.
inline constexpr int kShowUsersMaxRows = 128000;

// Rows of one page of a large domain's list.
inline constexpr int kShowUsersPageRows = 1000;

// What the alias table shows for a mailbox-path line (a piece, newline
// included when it has one): the name of the mailbox directory, the
// component before the last one of a path such as /d/joe/Maildir/. A line
// without two "/" before its last two bytes has no such name: it shows
// itself, less its newline.
std::string alias_mailbox_name(std::string_view line);

[[noreturn]] void show_users();

// The domain pages: create a domain with its postmaster and limits, delete
// one, show one with its limits, change its limits and postmaster password,
// list all domains with their aliases, add an alias domain. The dispatcher
// tests each page's right before its handler runs (pages/dispatch.h: without
// it, its "Permission denied" message on the main page); every handler ends
// the process after one page.
//
// Form fields: dname (the domain; for the list, a filter), pp (the new
// postmaster's password), ppass (a new postmaster password), adname (an
// alias domain), the limits lusers, lalias, lfor, lresponder, llists, quota
// and the switches upop, uimap, udialup, upassc, uweb, urelay.
//
// The limits file these pages write is the domain's .kestrel-limits, whole,
// from the request's limits fields alone (limits_form_text), written through
// a temporary file in the domain's directory that has the domain's uid and
// gid and mode 0600 before it replaces the old file: a failure leaves the
// old file and no temporary file. The path must fit the pages' 156-byte path
// field (measured without a sandbox root); a domain whose directory is too
// long for it is refused like a file that cannot be created ("Create Domain:
// open .kestrel-limits failed"). A domain the assignment table does not know
// gets no limits file anywhere.
//
// Every name, filter and value from a request or a file is HTML-escaped on
// the pages; values put into links are URL-encoded.
#pragma once

#include "base/mailbox.h"

#include <string>

// nav "add_domain" (right A): create_domain, the limits file, then the
// postmaster account. Messages: "Create Domain: Failed: Must supply domain
// name", "Create Domain: Failed: Must supply password" (html/add_domain.html);
// the store's message, or "Created Domain" then "Create Domain: open
// .kestrel-limits failed" or the store's message or "Domain postmaster
// added" (html/main.html).
[[noreturn]] void add_domain_page();

// nav "del_domain" (right X): "Delete Domain: Failed: Must supply domain
// name" (html/del_domain.html); "Delete Domain: Failed" or "Deleted Domain"
// (html/main.html).
[[noreturn]] void del_domain_page();

// nav "view_domain" (right I): fill_domain_view, html/mod_domain.html; "View
// Domain: Failed: Must supply domain name" on html/view_domain.html.
[[noreturn]] void view_domain_page();

// nav "mod_domain" (right U): rewrites the limits file from the form, sets
// the postmaster password when ppass is given ("Postmaster password set" or
// "Postmaster Password error %s"), then the domain view.
[[noreturn]] void mod_domain_page();

// nav "list_domains" (right I): the page of all domains in users/assign, or
// of those whose name holds the filter, printed by the program itself; for
// a domain administrator only the lines whose real domain is theirs.
[[noreturn]] void list_domains_page();

// nav "add_alias_domain" (right A): create_alias_domain (adname, dname);
// "Alias Domain Added" or the store's message on html/main.html. Missing
// fields on html/add_domain.html, which holds the alias form.
[[noreturn]] void add_alias_domain_page();

// Sets the domain view's page variables for the domain, named as the lookup
// found it (an alias replaced by its real domain). An unknown domain prints
// html/view_domain.html with "Domain %s does not exist" and ends the process.
void fill_domain_view(const DomainName& domain);

// The limits file text for this request's limits fields (the pages' subset
// of keys, in their order).
std::string limits_form_text();

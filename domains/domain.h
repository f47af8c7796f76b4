// Virtual domains: creating a real domain with its directory in the hashed
// tree under the store home, adding an alias domain that delivers into a
// real one, and removing either, with qmail's tables kept in step.
//
// Names come normalised (DomainName: lower-cased and cut to 156 where they
// entered) and are taken as they are; at most 96 characters; letters,
// digits, "-" and ".". Checking that a name is free and entering it into the tables happen under one store-wide lock
// (domain_table_lock_file), so two processes can never both create the same
// name; nothing else is held across the steps. Creating a domain sets the
// process's umask to 077 for the rest of the process. Messages of the
// rollback steps go to stderr.
//
// Routines:
//   create_domain      0, or kErrInvalidDomain (bad name: also an empty
//                      label, or one that begins or ends with "-"),
//                      kErrDomainTooLong (longer than 96), kErrDomainExists
//                      (exists, also as an alias), kErrChdirDomainDir /
//                      kErrChdirDomains / kErrMakeDomainsDir (cannot enter
//                      the home or its domains directory), kErrDirTooLong
//                      (path too long), kErrMakeDomainDir (cannot make the
//                      directory), kErrQmailDefault (cannot write
//                      .qmail-default), kErrUpdateFile (a table failed, or
//                      the lock could not be had). Every failure after the
//                      slot was allocated releases it and removes the
//                      half-made tree; the working directory is always
//                      restored. Table entries made before a failing table
//                      stay. kErrUpdateFile also when the domain was made
//                      whole but qmail-newu or qmail-newmrh failed: it
//                      stays, and the store check compiles it.
//   delete_domain      0 once the domain is found, whatever later steps
//                      warned about, but kErrUpdateFile when qmail-newu or
//                      qmail-newmrh failed (the domain is gone all the
//                      same); kErrDomainTooLong or kErrNoDomain before
//                      anything changed. A real domain goes with its alias
//                      domains, directory, limits file and slot; an alias
//                      domain goes alone.
//   create_alias_domain  0, or kErrInvalidDomain (as create_domain),
//                      kErrDomainTooLong, kErrDomainExists, kErrNoDomain (no
//                      such real domain), kErrUpdateFile (a table failed; or
//                      a qmail tool did, and the entries stay). A real name
//                      that is itself an alias gives the new alias that
//                      alias's real domain.
//   delivery_line      the line of a domain's .qmail-default that runs the
//                      store's delivery program with the argument saying what
//                      becomes of mail for a recipient without a mailbox:
//                      "| HOME/bin/tdelivermail '' ARGUMENT\n". Creation
//                      writes it with kBounceNoMailbox.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/error.h"
#include "base/mailbox.h"

StoreError create_domain(const DomainName& domain, const std::string& home, uid_t uid,
                         gid_t gid);

StoreError delete_domain(const DomainName& domain);

StoreError create_alias_domain(const DomainName& alias, const DomainName& real);


inline constexpr std::string_view kBounceNoMailbox = "bounce-no-mailbox";
inline constexpr std::string_view kDeleteNoMailbox = "delete-no-mailbox";

std::string delivery_line(std::string_view argument);

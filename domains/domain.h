// Virtual domains: creating a real domain with its directory in the hashed
// tree under the store home, adding an alias domain that delivers into a
// real one, and removing either, with qmail's tables kept in step.
//
// Names are lower-cased in place; at most 96 characters; letters, digits,
// "-" and ".". Checking that a name is free and entering it into the tables
// happen under one store-wide lock (domain_table_lock_file), so two
// processes can never both create the same name; nothing else is held
// across the steps. Creating a domain sets the process's umask to 077 for
// the rest of the process. Messages of the rollback steps go to stderr.
//
// Routines:
//   create_domain      0, or -12 (bad name: also an empty label, or one that
//                      begins or ends with "-"), -26 (longer than 96), -13
//                      (exists, also as an alias), -6/-5/-16 (cannot enter
//                      the home or its domains directory), -30 (path too
//                      long), -14 (cannot make the directory), -15 (cannot
//                      write .qmail-default), -17 (a table failed, or the
//                      lock could not be had). Every failure after the slot
//                      was allocated releases it and removes the half-made
//                      tree; the working directory is always restored. Table
//                      entries made before a failing table stay. -17 also
//                      when the domain was made whole but qmail-newu or
//                      qmail-newmrh failed: it stays, and the store check
//                      compiles it.
//   delete_domain      0 once the domain is found, whatever later steps
//                      warned about, but -17 when qmail-newu or qmail-newmrh
//                      failed (the domain is gone all the same); -26 or -11
//                      before anything changed. A
//                      real domain goes with its alias domains, directory,
//                      limits file and slot; an alias domain goes alone. The
//                      buffer may end holding the real domain's name.
//   create_alias_domain  0, or -12 (as create_domain), -26, -13, -11 (no such
//                      real domain), -17 (a table failed; or a qmail tool
//                      did, and the entries stay).
//                      The real-name buffer ends holding the real domain's
//                      name when it named an alias.
#pragma once

#include <sys/types.h>

#include <string>

int create_domain(std::string& domain, const std::string& home, uid_t uid, gid_t gid);

int delete_domain(std::string& domain);

int create_alias_domain(std::string& alias, std::string& real);


// One mailbox named on the command line or in an import file, and its
// creation as `user add` does it.
//
//   parse_mailbox   USER@DOMAIN split as the pages split it (the default
//                   domain fills in a missing one), the domain looked up
//                   first so that an unknown domain always reads "Domain
//                   does not exist": 0, -1 (no valid address; split_address
//                   has said why on stderr) or -11.
//   mailbox_gecos   the full name a new mailbox gets: the one given, or
//                   the user name when that is empty.
//   new_mailbox_account  the mailbox as add_accounts takes it.
//   create_mailbox  add_account with that full name: its code.
#pragma once

#include <string>

#include "accounts/account.h"
#include "base/mailbox.h"

int parse_mailbox(const std::string& address, Mailbox& mailbox);

std::string mailbox_gecos(const Mailbox& mailbox, const std::string& gecos);

NewAccount new_mailbox_account(const Mailbox& mailbox, const std::string& password,
                               const std::string& gecos);

int create_mailbox(const Mailbox& mailbox, const std::string& password, const std::string& gecos);

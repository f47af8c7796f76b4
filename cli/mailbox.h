// One mailbox named on the command line or in an import file, and its
// creation as `user add` does it.
//
//   parse_mailbox   USER@DOMAIN split as the pages split it (the default
//                   domain fills in a missing one), the domain looked up
//                   first so that an unknown domain always reads "Domain
//                   does not exist": 0, -1 (no valid address; split_address
//                   has said why on stderr) or -11.
//   create_mailbox  add_account with the full name (the user name when
//                   empty): its code.
#pragma once

#include <string>

struct Mailbox {
  std::string user;
  std::string domain;
};

int parse_mailbox(const std::string& address, Mailbox& mailbox);

int create_mailbox(Mailbox& mailbox, const std::string& password, const std::string& gecos);

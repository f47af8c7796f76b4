// Mailboxes named by address; see mailbox.h.
#include "cli/mailbox.h"

#include "accounts/account.h"
#include "base/address.h"
#include "base/error.h"
#include "domains/assign.h"

int parse_mailbox(const std::string& address, Mailbox& mailbox) {
  ParsedAddress parsed = parse_address(address);
  mailbox = std::move(parsed.mailbox);
  if (parsed.result != 0) return kErrIllegalUsername;
  if (!domain_exists(mailbox.domain)) return kErrNoDomain;
  return 0;
}

std::string mailbox_gecos(const Mailbox& mailbox, const std::string& gecos) {
  return gecos.empty() ? mailbox.user : gecos;
}

NewAccount new_mailbox_account(const Mailbox& mailbox, const std::string& password,
                               const std::string& gecos) {
  NewAccount account;
  account.user = mailbox.user;
  account.password = password;
  account.gecos = mailbox_gecos(mailbox, gecos);
  return account;
}

int create_mailbox(const Mailbox& mailbox, const std::string& password,
                   const std::string& gecos) {
  return add_account(mailbox, password, mailbox_gecos(mailbox, gecos));
}

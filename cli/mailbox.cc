// Mailboxes named by address; see mailbox.h.
#include "cli/mailbox.h"

#include "accounts/account.h"
#include "base/address.h"
#include "base/error.h"
#include "domains/assign.h"

int parse_mailbox(const std::string& address, Mailbox& mailbox) {
  std::string text = address;
  if (split_address(text, mailbox.user, mailbox.domain) != 0) {
    return kErrIllegalUsername;
  }
  if (!domain_exists(mailbox.domain)) return kErrNoDomain;
  return 0;
}

int create_mailbox(Mailbox& mailbox, const std::string& password, const std::string& gecos) {
  return add_account(mailbox.user, mailbox.domain, password, gecos.empty() ? mailbox.user : gecos);
}

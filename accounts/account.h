// Mailbox accounts: creating one (names checked, a hashed sub-directory
// reserved, the maildir built, the password line added, the domain's default
// quota set, the first last-login record written), changing its quota or
// password, and deleting it (the domain's catch-all mailbox excepted).
//
// Names come in as Mailbox and DomainName, normalised where they entered;
// nothing here lower-cases them again. Creation and deletion set the
// process's umask to 077 for the rest of the
// process. Routines that change the working directory restore it on every
// path. Diagnostics go to stderr with fixed texts; codes go to callers.
//
// Routines:
//   add_account      0, or kErrBadChar, kErrUserTooLong,
//                    kErrIllegalUsername (also a name holding "/", or "."
//                    or "..", refused before anything is made),
//                    kErrDomainTooLong, kErrInvalidDomain,
//                    kErrPasswordTooLong, kErrGecosTooLong,
//                    kErrUsernameExists, kErrNoDomain, kErrDomainLimits,
//                    kErrChdirDomains, kErrUserDirExists / kErrChdirUsers
//                    (no directory made), kErrNoAuthDb (the password line
//                    could not be added: the new directory is removed
//                    again; or the last-login record could not be written:
//                    the account stands).
//   check_new_account  the checks add_account makes before it changes
//                    anything, in its order, with its codes (kErrBadChar
//                    ... kErrDomainLimits above). An alias domain is
//                    checked as its real domain, whose name place holds;
//                    once the plain length checks pass, sets the umask
//                    to 077 as creation does. On 0 place (when given) holds
//                    the domain's directory, ids and limits. Makes nothing:
//                    a dry run uses it to find what creation would refuse.
//   add_accounts     many mailboxes of one domain, each made as
//                    add_account makes one, their password lines added in
//                    one change of the password file (one rewrite and one
//                    index rebuild under one lock). Each account's result
//                    is add_account's code for it; a name given twice is
//                    made once (the later one: kErrUsernameExists). An
//                    account's quota, when given, is then set as
//                    set_user_quota would set it (quota_result its code, 0
//                    when the account was not made); the line carries it
//                    from the start, so the password file changes once.
//                    The number made. The domain's own stderr messages come
//                    as each step meets them, so those of a batch come
//                    together.
//   make_user_dir    the reserved sub-directory ("" for the domain
//                    directory itself), or none with last_error
//                    kErrUserDirExists, kErrIllegalUsername (a name that is
//                    not one plain path component) or 0.
//   set_user_quota   0, kErrUserTooLong, kErrIllegalUsername,
//                    kErrDomainTooLong, kErrQuotaTooLong, kErrNoUser, or
//                    passwd_set_quota's code.
//   change_password  0, kErrUserTooLong, kErrIllegalUsername (no such user,
//                    or changing is disabled), kErrDomainTooLong,
//                    kErrPasswordTooLong, kErrCrypt, or passwd_update's code.
//   delete_account   0, kErrIllegalUsername, kErrNoDomain, kErrChdirDomains,
//                    kErrNoUser, kErrCatchall (the catch-all), kErrChdirStore
//                    (the directory could not be removed: the line is gone).
//                    A directory that does not lie inside the domain's
//                    (real paths compared) is kept: the line goes, "not
//                    removing DIR: it is not inside the domain directory\n"
//                    on stderr, and the result is 0.
//   is_catchall      whether the domain's .qmail-default delivers unknown
//                    recipients to this user.
//   dotqmail_first_line  the first line of DOMAINDIR/.qmail-NAME ("." in the
//                    name read as ":"), without its "\n", or none (last_error
//                    kErrNullPointer, kErrUserTooLong or kErrDomainTooLong
//                    for bad arguments). A path of more than 159
//                    characters is not cut but reads as no file.
//   trim_blanks      blanks and tabs off both ends, in place.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/mailbox.h"
#include "domains/assign.h"
#include "domains/limits.h"

// What check_new_account found: where the mailbox goes and the domain's
// limits, which give its default quota.
struct NewAccountPlace {
  DomainHome home;
  domain_limits limits;
};

// One mailbox of add_accounts.
struct NewAccount {
  std::string user;      // normalised as Mailbox normalises it
  std::string password;  // clear text
  std::string gecos;     // the full name, as add_account takes it
  std::string quota;     // "" for the domain's default quota
  int result = 0;
  int quota_result = 0;
};

StoreError check_new_account(const Mailbox& mailbox, const std::string& clear_password,
                             const std::string& gecos, NewAccountPlace* place);

int add_accounts(const DomainName& domain, std::vector<NewAccount>& accounts);

StoreError add_account(const Mailbox& mailbox, const std::string& clear_password,
                       std::string gecos);

std::optional<std::string> make_user_dir(const std::string& user, const DomainName& domain,
                                         uid_t uid, gid_t gid);

StoreError set_user_quota(const Mailbox& mailbox, const std::string& quota);

StoreError change_password(const Mailbox& mailbox, const std::string& password);

StoreError delete_account(const Mailbox& mailbox);

bool is_catchall(const std::string& user, const DomainName& domain,
                 const std::string& domain_dir);

std::optional<std::string> dotqmail_first_line(const std::string* name, const DomainName* domain);

void trim_blanks(std::string& text);

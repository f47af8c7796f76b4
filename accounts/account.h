// Mailbox accounts: creating one (names checked, a hashed sub-directory
// reserved, the maildir built, the password line added, the domain's default
// quota set, the first last-login record written), changing its quota or
// password, and deleting it (the domain's catch-all mailbox excepted).
//
// Creation and deletion set the process's umask to 077 for the rest of the
// process. Routines that change the working directory restore it on every
// path. Diagnostics go to stderr with fixed texts; codes go to callers.
//
// Routines:
//   add_account      0, or -20, -25, -1 (also a name holding "/", or "."
//                    or "..", refused before anything is made), -26, -12, -27, -28, -2 (exists),
//                    -11, -36, -5, -7/-4 (no directory made), -23 (the
//                    password line could not be added: the new directory is
//                    removed again; or the last-login record could not be
//                    written: the account stands).
//   make_user_dir    the reserved sub-directory ("" for the domain
//                    directory itself), or none with last_error -7, -1 (a
//                    name that is not one plain path component) or 0.
//   set_user_quota   0, -25, -1, -26, -29, -10, or passwd_set_quota's code.
//   change_password  0, -25, -1 (no such user, or changing is disabled),
//                    -26, -27, -18, or passwd_update's code.
//   delete_account   0, -1, -11, -5, -10, -55 (the catch-all), -3 (the
//                    directory could not be removed: the line is gone).
//                    A directory that does not lie inside the domain's
//                    (real paths compared) is kept: the line goes, "not
//                    removing DIR: it is not inside the domain directory\n"
//                    on stderr, and the result is 0.
//   is_catchall      whether the domain's .qmail-default delivers unknown
//                    recipients to this user.
//   dotqmail_first_line  the first line of DOMAINDIR/.qmail-NAME ("." in the
//                    name read as ":"), without its "\n", or none (last_error
//                    -33, -25 or -26 for bad arguments).
//   trim_blanks      blanks and tabs off both ends, in place.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

int add_account(std::string& user, std::string& domain, const std::string& clear_password,
                std::string gecos);

std::optional<std::string> make_user_dir(const std::string& user, const std::string& domain,
                                         uid_t uid, gid_t gid);

int set_user_quota(std::string& user, std::string& domain, const std::string& quota);

int change_password(std::string& user, std::string& domain, const std::string& password);

int delete_account(std::string& user, std::string& domain);

bool is_catchall(const std::string& user, const std::string& domain,
                 const std::string& domain_dir);

std::optional<std::string> dotqmail_first_line(const std::string* name, const std::string* domain);

void trim_blanks(std::string& text);

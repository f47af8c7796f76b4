// Logins of mail users: the checkpassword interface that qmail's POP3
// server, SMTP AUTH front ends and Dovecot's checkpassword passdb and userdb
// speak. The caller writes "LOGIN\0PASSWORD\0TIMESTAMP\0" (the timestamp
// may be missing) on descriptor 3; on success the program named by the
// remaining arguments runs with USER, HOME and SHELL set, on failure the
// caller learns why from the exit status alone:
//
//   1    the login is refused: unknown account, wrong password, an empty
//        stored hash, or a service the account's effective flags switch
//        off (that one says so on stderr, which Dovecot logs)
//   2    the interface was misused: no program to run, descriptor 3
//        unreadable, more than 512 bytes, or no NUL after the password
//   3    a userdb lookup (AUTHORIZED=1) named an account that does not exist
//   111  the store could not be read (users/cdb, the domain's index, a
//        lock held past its budget), the ids could not be changed, or the
//        next program could not be run: the caller may try again
//
// A userdb lookup (AUTHORIZED=1) checks no password and no service flag
// (a delivery or doveadm asks, not a login) and records nothing: a found
// account runs the next program with AUTHORIZED=2.
//
// Who acts: started as root, the store is read and the last-login record
// written with the effective ids of the store home's owner (a root-owned
// store stays root); the ids go back before the next program runs. That
// program then runs as its caller's convention expects. qmail's POP3
// server is started as the mailbox's owner: the ids, groups included, are
// switched for good to the domain's uid and gid. Dovecot's reply program
// refuses to run under another user than the auth process and takes the
// mail user from userdb_uid/userdb_gid instead: the caller's ids stay. A
// caller is Dovecot when ORIG_UID or any AUTH_* variable is set or
// descriptor 4 (the reply's) is open.
//
// Timing: an unknown account and an empty stored hash cost a hash of the
// password against a dummy setting, so a refusal takes the same time
// whether or not the account exists; the crypted texts are compared in
// constant time.
//
// Routines:
//   parse_login_input  splits the bytes read from descriptor 3: none when
//                      they are more than kLoginInputMax or hold no NUL after
//                      the password. The timestamp is what follows, up to its
//                      NUL or the end.
//   login_service      the service asked for: SERVICE when set and not
//                      empty, else the one TCPLOCALPORT stands for (110/995
//                      pop3, 143/993 imap, 25/465/587 smtp), else NAME of a
//                      first argument "--service=NAME", else "".
//   service_refusal    the account flag that switches a service off (pop3:
//                      disable_pop, imap: disable_imap, smtp and
//                      submission: disable_smtp, webmail: disable_webmail),
//                      0 for any other service.
//   dovecot_quota_rule  a quota text of the store as Dovecot's quota rule:
//                      "*:storage=NB", "*:messages=N", both limits in one
//                      rule "*:storage=NB:messages=N", or "" when the text
//                      sets no limit (NOQUOTA).
//   password_matches   whether crypt(clear, stored) gives stored back,
//                      compared in constant time. An empty stored hash
//                      never matches, after hashing against the dummy.
//   find_login_account the account a login names: the address split as the
//                      store splits addresses (a bare name takes the default
//                      domain), the domain looked up (an alias gives its real
//                      domain), the record read from the domain's index.
//                      kLoginFound with the account; kLoginUnknown when the
//                      address, domain or account is not there;
//                      kLoginStoreFailed when users/cdb or the index cannot
//                      be opened or the process may not read the domain.
//   checkpassword_main the whole program (argv as given to it; the program
//                      name for messages). Returns the exit status when it
//                      does not run the next program.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/mailbox.h"
#include "base/password_record.h"

inline constexpr std::size_t kLoginInputMax = 512;

struct LoginInput {
  std::string login;
  std::string password;
  std::string timestamp;
};

std::optional<LoginInput> parse_login_input(std::string_view bytes);

std::string login_service(const char* service, const char* local_port, const char* first_arg);

int32_t service_refusal(std::string_view service);

std::string dovecot_quota_rule(const std::string& quota_text);

bool password_matches(const std::string& clear, const std::string& stored);

enum class LoginLookup { kLoginFound, kLoginUnknown, kLoginStoreFailed };

struct LoginAccount {
  password_record record;
  std::string user;     // lower-cased user name
  DomainName domain;    // the real domain
  std::string address;  // user@domain, as the next program is told
  uid_t uid = 0;        // the domain's owner
  gid_t gid = 0;
};

LoginLookup find_login_account(const std::string& login, LoginAccount& account);

int checkpassword_main(int argc, char** argv, const char* program);

// Last-login records: DIR/lastauth in each mailbox directory holds the
// address of the last client (no line end as written here); its
// modification time is the time of the last login. Logins rewrite it outside
// this system; the store writes it once, when an account is created.
//
//   lastauth_write  0 (also when the account does not exist: nothing is
//                   written), or -1 when the file cannot be written. The
//                   file is given to the domain's uid and gid.
//   lastauth_record_write  lastauth_write for an account already looked
//                   up (its record; its domain's owner uid and gid): no
//                   second lookup, so a login writes its record for the
//                   price of one file. 0 or -1 as lastauth_write.
//   lastauth_time   the modification time, 0 when there is no file. A
//                   listing passes the domain directory it holds open.
//   lastauth_login_time  the time of the last real login: as lastauth_time,
//                   but 0 also while the record holds the mark creation
//                   wrote (kLastauthNever), whose time is the creation's.
//   lastauth_text   the first line (with its line end, if any, at most 299
//                   bytes), or none for a missing or empty file.
//   lastauth_never  whether an address read from a record means the mailbox
//                   never logged in: no record, an empty one, or exactly
//                   kLastauthNever, the address account creation writes.
//                   The address is judged as given: a caller that drops
//                   the line end does so first.
//   lastauth_address  the record's address without its line end (CR and
//                   LF taken off its end), or none when that address
//                   means never logged in.
// A DIR/lastauth longer than a store path (299 characters) is never cut to
// fit: it reads as no file (time 0, text none) and lastauth_write gives -1,
// touching no file at all.
// They read only a regular file reached without a link at its name; a link,
// FIFO or anything else there reads as no file. lastauth_write removes
// whatever stands at the name and creates the file anew, never writing
// through a link.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "accounts/open_dir.h"
#include "base/mailbox.h"
#include "base/password_record.h"

// The record of a mailbox that has never been used.
inline constexpr char kLastauthNever[] = "0.0.0.0";

int lastauth_write(const std::string& user, const DomainName& domain, const std::string& text);

int lastauth_record_write(const password_record& record, uid_t uid, gid_t gid,
                          const std::string& text);

time_t lastauth_time(const password_record& record, const OpenDir* within = nullptr);

time_t lastauth_login_time(const password_record& record, const OpenDir* within = nullptr);

std::optional<std::string> lastauth_text(const password_record& record);

bool lastauth_never(const std::optional<std::string>& address);

std::optional<std::string> lastauth_address(const password_record& record);

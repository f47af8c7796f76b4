// Domain limits: what a domain's administrators may create, the domain's
// size and message limits, the quota given to new accounts, the services
// switched off for all its accounts and the masks of the domain's web
// companion. Kept in the domain's .kestrel-limits, with the store-wide
// defaults file standing in for a domain that has none.
//
// File format. Lines end at LF or CR; empty lines and lines starting with
// "#" are skipped. The key runs up to the first space, tab or ":"; after it
// every space, tab and ":" is skipped and the rest is the value. A line with
// no such separator has a key but no value: numbers are then ignored, while
// a service flag is set by the key's mere presence. Unknown keys are
// ignored; the last occurrence of a key wins. Only the first 2048 bytes of a
// file count: a line cut by that boundary, and all after it, is ignored.
//
// Routines:
//   read_limits_file      parses one file into a record the caller has
//                         initialised (fields the file does not name keep
//                         their values). 0; kErrFailed when the file cannot
//                         be opened or a read fails (lines before stay
//                         parsed).
//   get_domain_limits     resets the record, then reads the domain's own
//                         file (and gives it the domain's owner and mode
//                         0600) or else the defaults file. 0; kErrFailed
//                         when the domain is unknown ("Error. Domain %s was not found
//                         in the assign file\n" on stderr) or neither file
//                         can be read (silently).
//   format_limits         the canonical text of a record; reads back into
//                         the same record.
//   write_limits_file     writes the canonical text to a temporary file
//                         beside path and renames it over path. A file that
//                         already exists keeps its mode (and, where allowed,
//                         its owner); a new one takes 0666 under the umask.
//                         0; kErrFailed when the temporary file cannot be
//                         created ("tlimits: failed to open limits file (%d):  %s\n"
//                         on stderr, errno and path) or a write, sync, close
//                         or the rename fails. On failure path is untouched
//                         and the temporary file removed.
//   write_domain_limits   the same for the domain's .kestrel-limits, the
//                         temporary file given the domain's uid/gid (where
//                         the process may) and mode 0600 before the rename,
//                         so the file never shows a wider mode. 0;
//                         kErrNoDomain when the domain is unknown; kErrFailed
//                         as write_limits_file.
//   write_limits_text     the same for a text the caller made (the domain
//                         pages write the form's lines as given), into the
//                         .kestrel-limits of a domain found beforehand.
//                         0; kErrFailed as write_limits_file.
//   delete_domain_limits  removes the domain's .kestrel-limits. 0; kErrFailed
//                         when the domain is unknown ("Failed tget_assign for
//                         %s\n" on stdout) or the removal fails (no file).
//   domain_limits_path    DIR/.kestrel-limits; "" (which opens nothing, and
//                         which the writers refuse) when that would pass
//                         299 characters: a cut path names another file.
//   limits_flag_mask      the account flag bits the service flags stand for.
//   split_limits_line     one line's key and value, as a reader of the file
//                         splits it: the store's reader with
//                         kStoreLimitsSyntax (the format above), the domain
//                         view with kViewLimitsSyntax (separators also CR
//                         and LF, leading separators passed over, the value
//                         only its first word). None for a line that holds
//                         no key (empty, a comment, or a leading separator
//                         where the syntax does not pass over it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "domains/assign.h"


struct domain_limits {
  int32_t maxpopaccounts = -1;
  int32_t maxaliases = -1;
  int32_t maxforwards = -1;
  int32_t maxautoresponders = -1;
  int32_t maxmailinglists = -1;
  uint64_t quota = 0;                // megabytes
  uint64_t maxmsgcount = 0;
  uint64_t default_quota = 0;        // bytes, for each new account
  uint64_t default_maxmsgcount = 0;  // messages, for each new account
  int16_t disable_pop = 0;
  int16_t disable_imap = 0;
  int16_t disable_dialup = 0;
  int16_t disable_password_changing = 0;
  int16_t disable_webmail = 0;
  int16_t disable_external_relay = 0;
  int16_t disable_smtp = 0;
  int16_t disable_spamassassin = 0;
  int16_t delete_spam = 0;
  int16_t disable_maildrop = 0;
  int16_t perm_account = 0;  // the masks hold three bits each
  int16_t perm_alias = 0;
  int16_t perm_forward = 0;
  int16_t perm_autoresponder = 0;
  int16_t perm_maillist = 0;
  int16_t perm_maillist_group1 = 0;
  int16_t perm_maillist_group2 = 0;
  int16_t perm_quota = 0;
  int16_t perm_defaultquota = 0;

  bool operator==(const domain_limits&) const = default;
};

int read_limits_file(const std::string& path, domain_limits& limits);
int get_domain_limits(const DomainName& domain, domain_limits& limits);
std::string format_limits(const domain_limits& limits);
int write_limits_file(const std::string& path, const domain_limits& limits);
int write_domain_limits(const DomainName& domain, const domain_limits& limits);
int write_limits_text(const DomainHome& home, std::string_view text);
int delete_domain_limits(const DomainName& domain);
std::string domain_limits_path(const std::string& dir);
int32_t limits_flag_mask(const domain_limits& limits);

struct LimitsSyntax {
  std::string_view separators;
  bool skip_leading;
  bool first_word;
};
inline constexpr LimitsSyntax kStoreLimitsSyntax{" \t:", false, false};
inline constexpr LimitsSyntax kViewLimitsSyntax{" :\t\n\r", true, true};

struct LimitsSplit {
  std::string_view key;
  std::string_view value;
  bool has_value = false;  // a separator followed the key
};
std::optional<LimitsSplit> split_limits_line(std::string_view line, const LimitsSyntax& syntax);

// Mailbox quotas: the quota text and how input becomes one, the maildirsize file
// that caches a maildir's total size and message count, the recount of a
// maildir, and the usage check with its percentage. When the usage daemon
// answers (usage/usage_client.h), no file is read or counted.
//
// Quota text: "NOQUOTA", or comma-separated items "%lluS" (bytes)
// and "%lluC" (messages), as "%lluS,%lluC", "%lluS" or "%lluC".
//
// maildirsize (the maildir++ quota file that deliveries and IMAP servers
// read and append to): line 1 the quota text, then "SIZE COUNT" lines
// whose sums are the usage (a line may be negative: a removal). Stale
// (removed and rebuilt) at kMaildirsizeMax bytes or more, or when last
// modified more than kMaildirsizeStale seconds ago. Rebuilt through a
// temporary file in the maildir's tmp/ and a rename, owned 89:89; no locks:
// other writers only ever append.
//
// The recount and the rebuild may run as root inside a maildir that its
// owner writes: they reach the maildir, its folders, new/, cur/ and tmp/
// from descriptors one component at a time and never through a symbolic
// link (a link there is passed over, or fails the rebuild at tmp/), count
// only plain message files and never a link's target, and create and
// rename the temporary file relative to those descriptors.
//
// A maildir path may name a folder (a directory holding "maildirfolder"):
// the check and the file writer then act on its parent maildir.
//
// Routines (nothing here prints anything; every number read from a file or
// a text is bounded: digit runs saturate at 2^64-1, sums never wrap):
//   format_quota_spec      normalises user input ("10MB", "500k,1000C",
//                          "1G") into a quota text (checked first with
//                          quota_input, quota/quota_input.h), returned
//                          by value. "NOQUOTA" stays; no limit gives "".
//   parse_quota_spec       splits a quota text into its size and count
//                          limits (0 where absent; the first of each kind
//                          wins; a value of 2^64-1 or a negative one is
//                          passed over). 1, or 0 for a null or empty text.
//   update_maildirsize     after an account's quota text changed: removes
//                          HOME/Maildir/maildirsize, and unless the
//                          quota text is "NOQUOTA" rebuilds it (umask
//                          077 from then on) and gives it the domain's uid
//                          and gid. Ignores every failure; a home too long
//                          for a store path (300 bytes) is left alone.
//   maildir_quota_percent  the usage percentage 0..100 of the maildir
//                          (a path ending in "/Maildir/"), from the daemon
//                          when it answers, else from check_maildir_quota
//                          (0 when that left none). The daemon is asked
//                          once per mailbox address in a process: its
//                          answer, or its silence (then the files count),
//                          serves every later call for that address.
//   forget_daemon_usage    drops those answers, so the daemon is asked
//                          again (for a process that outlives a request).
//   mailbox_use_percent    how full a mailbox is, as the account views
//                          show it: 0 for a home without a quota (an
//                          empty text or "NOQUOTA"), else
//                          maildir_quota_percent of HOME/Maildir/.
//   mailbox_use_text       the same as "N%".
//   check_maildir_quota    0 within quota (fd then the open maildirsize or
//                          -1: the caller closes it; percentage set), -1
//                          over quota (errno ENOSPC, percentage 100), when
//                          the mailbox changed while it was counted (errno
//                          EAGAIN, the rebuilt file stays) or when counting
//                          or writing failed. A null or empty quota text
//                          is 0 with the percentage untouched. fd and
//                          percentage must not be null.
//   read_maildirsize       0 with the open file (read-write, append), the
//                          sums, the number of lines after the first and
//                          the file's status; -1 when it cannot be opened
//                          or read, or is too large or stale (then removed).
//   count_maildir_dir      adds the messages of one new/ or cur/ directory
//                          to size and count and raises newest to its
//                          modification time; a directory that cannot be
//                          examined, or is a link, counts nothing (0). An
//                          entry without a size in its name counts with
//                          its own size when it is a plain file; a link,
//                          directory or other kind is passed over. -1 when
//                          reading or closing it failed.
//   make_maildirsize_temp  a fresh temporary file in the maildir's tmp/,
//                          "TIME.PID_NeWmAiLdIrSiZe.HOST", created exclusive
//                          with mode 0644 less the umask, never through a
//                          link at the maildir, tmp/ or the name; the name,
//                          with fd -1 when three attempts failed.
//   write_maildirsize      with an open fd: appends (the quota text line
//                          when asked, then) "SIZE COUNT\n". With fd -1:
//                          appends the usage line to the maildir's file, or,
//                          when it has none, installs a new one holding the
//                          quota text line and the usage line. 0 or -1;
//                          a failed write never leaves a partial file under
//                          the name maildirsize.
//   maildir_to_email       "USER@DOMAIN" from a path .../DOMAIN/.../USER/
//                          Maildir[/...] (DOMAIN: the nearest component
//                          above USER holding a "."), in a process-wide
//                          buffer; "" when the path has no such shape.
//   safe_open              open_regular_at (base/safe_path.h) of a path,
//                          never through a link: a link counts as no file
//                          (-1, errno ENOENT), a FIFO, device or folder is
//                          refused (EINVAL) without waiting; the descriptor
//                          is blocking, keeps O_APPEND, and closes on exec.
//                          -1 on any failure.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "base/mailbox.h"

// A maildirsize of this many bytes or more is rebuilt.
inline constexpr off_t kMaildirsizeMax = 5120;
// A maildirsize last modified more than this many seconds ago is rebuilt.
inline constexpr time_t kMaildirsizeStale = 900;

std::string format_quota_spec(std::string_view input);

int parse_quota_spec(const char* quota_text, uint64_t* size_limit, uint64_t* count_limit);

void update_maildirsize(const DomainName& domain, const std::string& home,
                        const std::string& quota_text);

int maildir_quota_percent(const std::string& maildir, const std::string& quota_text);

void forget_daemon_usage();

int mailbox_use_percent(const std::string& home, const std::string& quota_text);

std::string mailbox_use_text(const std::string& home, const std::string& quota_text);

int check_maildir_quota(const std::string& maildir, int* fd, const char* quota_text,
                        uint64_t extra_size, uint64_t extra_count, int* percentage);

int read_maildirsize(const std::string& path, int* fd, uint64_t* size_sum, uint64_t* count_sum,
                     int* lines, struct stat* status);

int count_maildir_dir(const std::string& dir, time_t* newest, uint64_t* size, uint64_t* count);

std::optional<std::string> make_maildirsize_temp(const std::string& maildir, int* fd);

int write_maildirsize(const std::string& maildir, int fd, const std::string& quota_text,
                      uint64_t size, uint64_t count, bool with_quota_line);

const std::string& maildir_to_email(std::string_view path);

int safe_open(const std::string& path, int flags, mode_t mode);

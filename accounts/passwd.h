// A domain's password file: tpasswd, one line per mailbox, and its index
// tpasswd.cdb keyed by user name. Single lookups read the index; listing a
// domain reads the text file; every change rewrites the text file through a
// temporary copy under the domain's lock (.tpasswd.lock, the write lock of
// base/locked_file.h) and then rebuilds the whole index while the lock is
// still held, so readers see the old or the new index, never a mix.
//
// Line: "NAME:PASSWORD:UID:GID:GECOS:DIR:QUOTA\n" (an eighth field,
// the clear password, is read when present and never written). Lines of any
// length are carried through a rewrite intact and indexed whole; a lookup
// reads lines of up to 2047 bytes (every line this system writes is far
// shorter) and finds nothing for a longer one. Every line a rewrite writes
// ends with "\n". The rebuild indexes a line by its text before the first
// ":", passes over a line without any ":", and leaves a last line without
// "\n" unindexed (it may still be being written by hand).
//
// Keeps nothing between calls: a lookup hands back its record by value, and
// a listing is an object that holds its own open file and record, so a
// lookup made while listing leaves the listed record intact. Names come in
// as the edge normalised them (lower-cased); nothing here lower-cases.
//
// Effective-uid rule: lookups find nothing, and updates return kErrBadUid,
// unless the process runs as root or as the domain's uid.
//
// Locking: a change waits up to 20 seconds in the kernel's queue for the
// domain's lock, then prints "File busy try again later!\n" and gives
// kErrUsernameExists.
//
// Routines:
//   passwd_paths_of   the five paths for a domain (an empty domain stands
//                     for the default domain; still empty: the store's
//                     users directory). A domain the table does not know, or
//                     a path that would pass 299 characters, gives five
//                     empty paths (paths are never cut), and every operation
//                     on them fails.
//   passwd_find       the record of user@domain, or none (no code; every
//                     failure is "none"). An alias domain reaches its real
//                     domain's file; the caller's names are left as they
//                     are. Clears last_error. A missing index is rebuilt
//                     first, under the domain's lock (not at all while
//                     another change holds it: that change rebuilds it).
//   passwd_lookup     passwd_find for a caller that must tell a missing
//                     account from a store that cannot answer (the
//                     delivery program retries the second): kSuccess with
//                     the record; kErrNoDomain when the domain is unknown
//                     to a readable users/cdb; kErrNoUser when the domain's
//                     index does not hold the user; kErrFailed when
//                     users/cdb or the index cannot be read (or rebuilt: a
//                     busy lock counts), the process may not use the
//                     domain, or the stored line is too long to read.
//   parse_passwd_line one line (without its "\n") as the store reads it,
//                     or none when it holds fewer than six ":" or its name
//                     is empty. Fields past the seventh ":" are the clear
//                     password. Reads no file.
//   PasswdListing     the records of a domain's file in order: next() gives
//                     nullptr at the end or at a line with fewer than six
//                     ":"; the record is overwritten by the next call. The
//                     paths and the domain's limits (for the flags) are
//                     read when the listing is made and serve all of it.
//   passwd_add        inserts the new line in name order. 0;
//                     kErrIllegalUsername for the name "tpasswd", an empty
//                     name, a name with ":", a line that would hold "\n"
//                     (full name), or when the files cannot be opened,
//                     written or replaced; kErrUsernameExists when the lock
//                     cannot be taken or the name already has a line
//                     (checked under the lock); kErrCrypt when the password
//                     cannot be crypted (nothing written, no lock taken).
//                     The full name loses every ":" in place; an empty one
//                     becomes the user name.
//   passwd_add_many   many new lines in one rewrite and one index rebuild
//                     under one lock, each made and checked as passwd_add
//                     makes and checks its one, with its own quota text
//                     (NOQUOTA unless given). Each line's result says
//                     whether it went in: 0, or passwd_add's
//                     kErrIllegalUsername, kErrUsernameExists (the name has
//                     a line, or is given twice: the first wins) or
//                     kErrCrypt. The routine gives 0 when every line got its
//                     own result, or the rewrite's kErrIllegalUsername or
//                     kErrUsernameExists when no line went in (every result
//                     then holds that code).
//   passwd_delete     removes every line of the user. 0,
//                     kErrIllegalUsername or kErrUsernameExists.
//   passwd_update     replaces the line of record.name (none: 0, nothing
//                     changed); record.gecos loses every ":" in place.
//                     passwd_check's code, kErrBadUid, kErrIllegalUsername
//                     for a field holding "\n", or the rewrite's.
//   passwd_set_quota  the record's quota changed through passwd_update;
//                     kErrUserTooLong, kErrIllegalUsername,
//                     kErrDomainTooLong, kErrQuotaTooLong, kErrNoUser (no
//                     such user), or its code.
//   passwd_check_names  the limits every account change applies to its
//                     user and domain names: kErrUserTooLong (longer than
//                     32), kErrIllegalUsername (one character),
//                     kErrDomainTooLong (domain longer than 96), else 0.
//   passwd_check      the field limits: kErrNullPointer, kErrUserTooLong,
//                     kErrIllegalUsername, kErrDomainTooLong,
//                     kErrPasswordTooLong, kErrGecosTooLong, kErrDirTooLong,
//                     kErrQuotaTooLong, else 0.
//   passwd_rebuild    tpasswd.cdb from tpasswd, then the three files given
//                     to the domain's uid and gid (never through a link).
//                     0 or kErrFailed (the old index stays). The caller holds
//                     the domain's lock: rebuilds share one cdb.tmp.
// A rewrite never reports success for a change that did not happen: a
// failed read, write, flush, sync, close or rename gives
// kErrIllegalUsername, removes the temporary copy and leaves tpasswd (and
// its index) as it was. A tpasswd that exists but cannot be read fails the
// change; only a missing one reads as empty. The copy is created with mode
// 0600 whatever the umask (a stale copy of a dead process with the same pid
// is truncated and narrowed too). After a successful rename the index is
// rebuilt; a failed rebuild does not undo the change (the next change
// catches the index up).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/mailbox.h"
#include "base/password_record.h"

struct passwd_file_paths {
  std::string text;        // DIR/tpasswd
  std::string index;       // DIR/tpasswd.cdb
  std::string temp;        // DIR/tpasswd.bak.PID
  std::string index_temp;  // DIR/cdb.tmp
  std::string lock;        // DIR/.tpasswd.lock
};

// One new line of passwd_add_many: what passwd_add takes, and the quota
// text its line carries. gecos is changed as passwd_add changes it.
struct passwd_new_line {
  std::string user;
  std::string clear_password;
  std::string gecos;
  std::string subdir;
  std::string quota = "NOQUOTA";
  int result = 0;
};

passwd_file_paths passwd_paths_of(const DomainName& domain);

std::optional<password_record> passwd_find(const std::string& user, const DomainName& domain);

struct PasswdLookup {
  StoreError result = kErrFailed;
  std::optional<password_record> record;
};

PasswdLookup passwd_lookup(const std::string& user, const DomainName& domain);

std::optional<password_record> parse_passwd_line(std::string_view line);

class ChunkLines;

class PasswdListing {
 public:
  explicit PasswdListing(const DomainName& domain);
  ~PasswdListing();
  PasswdListing(const PasswdListing&) = delete;
  PasswdListing& operator=(const PasswdListing&) = delete;

  const password_record* next();

 private:
  void close_file();

  int file_ = -1;
  std::unique_ptr<ChunkLines> lines_;
  std::optional<int32_t> flags_;
  password_record record_;
};

StoreError passwd_add(const std::string& user, const DomainName& domain,
                      const std::string& clear_password, std::string& gecos,
                      const std::string& subdir);

StoreError passwd_add_many(const DomainName& domain, std::vector<passwd_new_line>& lines);

StoreError passwd_delete(const std::string& user, const DomainName& domain);

StoreError passwd_update(password_record& record, const DomainName& domain);

StoreError passwd_set_quota(const std::string& user, const DomainName& domain, const std::string& quota);

StoreError passwd_check_names(const std::string& user, const DomainName& domain);

StoreError passwd_check(const password_record* record, const DomainName* domain);

StoreError passwd_rebuild(const DomainName& domain);

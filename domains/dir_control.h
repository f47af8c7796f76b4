// Hashed directory allocation: spreading the domain directories under
// STORE/domains, and the mailbox directories inside a domain, over a tree of
// one-character sub-directories, so that no directory holds too many
// entries. The first 99 entries sit in the parent itself, then every block
// of 100 goes into the next sub-directory: 0 .. z, then 0/0 .. z/z, then
// 0/0/0 .. z/z/z, after which the three-level paths are used again.
//
// Owns: the control file ".dir-control" (one per domain for its mailboxes,
// one in STORE/domains for the domains), its eight-line format, and
// the free-directory list ".dir_control_free" of a domain (sub-directories
// whose mailboxes were deleted, handed out again before fresh ones).
//
// Control file, eight lines: "%lu\n" entry_count, "%d\n" level, "%d\n"
// max_level, then "%d %d %d\n" for first_char, last_char, char_pos and
// char_index, then "%s\n" path. It is read and replaced without a lock; the
// rename keeps every version whole. Reading is forgiving: a missing file
// gives the defaults, a file with fewer than eight lines (or a line holding
// fewer than three numbers, or a number that cannot be read) keeps the
// defaults for every field it does not give, and path keeps at most 299
// characters. Lines are read whole, so a long line never spills into the
// next field. Every number is bounds-checked before it indexes a path or the
// alphabet, so a damaged file can misplace entries but never crash.
//
// Routines:
//   dir_control_path     where the control file of a name lives: the
//                        domain's directory + "/.dir-control" for a domain
//                        known to tget_assign (an alias reaches its real
//                        domain), else HOME + "/domains/.dir-control", HOME
//                        being the store home for uid 89 and the password
//                        database's home of the uid otherwise. Names
//                        "dom_" + digits (the domains level) are never
//                        looked up. "" when the uid has no home. The name is
//                        the caller's; the lookup works on a copy. The path
//                        is built whole, never cut.
//   read_dir_control     0, or kErrFailed when the file cannot be opened
//                        or the location is unknown; the record then holds the
//                        defaults.
//   write_dir_control    writes LOCATION.PID, renames it over LOCATION and
//                        gives LOCATION to uid:gid (an owner change that is
//                        refused does not fail the write: the contents are in
//                        place). 0, or kErrFailed when the location is
//                        unknown or the copy cannot be created, written, closed or renamed;
//                        the old file is then untouched and no copy is left.
//   dir_control_advance  the pure step: counts one more entry and, at every
//                        hundredth, moves path to the next sub-directory.
//                        Touches nothing on disk.
//   dir_control_load     reads the name's control file into the caller's
//                        record (defaults when there is none). Always 0.
//   dir_control_next     advances the caller's record and, when path is
//                        not empty, creates it (relative to the working
//                        directory, so the caller stands in the parent) with
//                        make_path; a directory that cannot be made has been
//                        reported by make_path and the path is still
//                        returned. Returns a copy of the record's path.
//                        REQUIRES: working directory is the new path's parent
//   dir_control_save     write_dir_control of the caller's record.
//                        REQUIRES: a domain's dir_control_lock held since load
//   dir_control_release  reads the name's control file, counts one entry
//                        fewer (0 stays 0; path does not move back) and
//                        writes it: write_dir_control's result.
//                        REQUIRES: a domain's dir_control_lock held
//   dir_control_delete   removes the domain's control file: 0, or kErrFailed
//                        when the domain is unknown or the file cannot be removed. It
//                        never falls back to the domains level.
//   dir_control_lock     holds the write lock of the name's control file
//                        (LOCATION.lock, waited for up to 18 seconds, given
//                        to uid:gid like the file) in the given FileLock.
//                        Mailbox creation and deletion hold it from load to
//                        save, so that concurrent changes of one domain
//                        never lose a count; creation fails without it. The
//                        lock's result: 0, kErrUpdateFile (a link at the
//                        name among the causes: "could not open lock file
//                        LOCK: ERROR\n") or kErrFailed (also for an unknown
//                        location).
//   free_dir_return      records the sub-directory that held a deleted
//                        mailbox in the domain's free-directory list (a
//                        rewrite under the list's lock, through a copy and a
//                        rename). Returns the recorded path; none when the
//                        domain is empty or unknown ("DOMAIN: No such
//                        domain\n"), the mailbox sat in the domain directory
//                        itself, the directory does not hold the domain's
//                        name or passes 299 characters (never cut), or the
//                        list cannot be locked ("could not open
//                        lock file LOCK: ERROR\n") or rewritten (the list is
//                        then as it was).
//   free_dir_take        takes the first entry of the list, removing its line
//                        (comments and blank lines stay), and counts one
//                        more entry in the domain's control file unless its
//                        count is 0. Returns the entry; none when the domain
//                        is unknown (same message), the list is missing or
//                        holds no entry, the entry's line could not be
//                        removed, or a line is too long or unended ("Line No
//                        N in LIST Exceeds 298 chars\n"). The caller creates
//                        the returned path (it may be gone) and falls back to
//                        a fresh allocation on none.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/locked_file.h"
#include "base/mailbox.h"

struct DirControl {
  uint64_t entry_count = 0;
  int32_t level = 0;      // the depth being filled: 0, 1 or 2
  int32_t max_level = 3;  // kept and written back, never consulted
  int32_t first_char[3] = {0, 0, 0};     // alphabet index per level
  int32_t last_char[3] = {61, 61, 61};   // alphabet index per level
  int32_t char_pos[3] = {0, 2, 4};       // where each level's character sits in path
  int32_t char_index[3] = {0, 0, 0};     // per-level counter
  std::string path;  // "", "0", "0/A", "0/A/z": at most 299 characters
};

// The longest path a control record keeps.
inline constexpr size_t kDirControlPathMax = 299;

std::string dir_control_path(const std::string& name, uid_t uid);
StoreError read_dir_control(DirControl& record, const std::string& name, uid_t uid);
StoreError write_dir_control(const DirControl& record, const std::string& name, uid_t uid, gid_t gid);
void dir_control_advance(DirControl& record);

StoreError dir_control_load(DirControl& record, const std::string& name, uid_t uid);
std::string dir_control_next(DirControl& record, uid_t uid, gid_t gid);
StoreError dir_control_save(const DirControl& record, const std::string& name, uid_t uid, gid_t gid);
StoreError dir_control_release(const std::string& name, uid_t uid, gid_t gid);
StoreError dir_control_delete(const DomainName& domain);
StoreError dir_control_lock(FileLock& lock, const std::string& name, uid_t uid, gid_t gid);

std::optional<std::string> free_dir_take(const DomainName& domain);
std::optional<std::string> free_dir_return(const std::string& user, const DomainName& domain,
                                           const std::string& mailbox_dir);

// Locked line files: the one way the store changes a shared text file
// (users/assign, qmail's control lists, a domain's free-directory list).
//
// Protocol. A writer takes an exclusive fcntl record lock on the companion
// lock file TARGET.lock (opened write-only, created with mode 0600, never
// written, never removed), writes the new contents to TARGET.PID beside the
// target and renames that over the target. Readers need no lock: they see
// the old or the new complete file. One lock file per target serialises
// every writer of that target across processes.
//
// Lines. A line is every byte up to a newline, of any length; the editors
// carry each line through a rewrite byte for byte and end every line they
// write with a newline (a last line without one gains it). Only the sort key
// is limited, to its first kSortKeyMax bytes.
//
// Derived names (TARGET.lock, TARGET.PID, TARGET.bak) are built whole, never
// cut, so they can never name the target itself or another process's file.
//
// The new file takes the creating process's umask (0666 & ~umask) and owner;
// callers that care about the final mode set it afterwards. The exception is
// remove_prefix_lines, which sets the mode it is given and the old owner.
//
// Failure. update_file, sort_file and remove_lines leave the target exactly
// as it was until the final rename, and remove the temporary file on every
// failure after creating it; a failed write, flush or rename is a failure
// (-17), never success. remove_prefix_lines puts the original contents back
// under the target's name on every failure after it moved them aside.
// Diagnostics go to stderr with the fixed texts below; codes go to callers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <span>
#include <string>
#include <string_view>

// File kinds of update_file and sort_file. In an assign-format file every
// entry begins with "+", its domain part is followed by "-" and ":", and the
// file ends with a line holding a single ".". Every other kind is a plain
// list; rcpthosts and morercpthosts use 2, virtualdomains 3.
inline constexpr int kAssignKind = 1;
inline constexpr int kHostListKind = 2;
inline constexpr int kVirtualDomainsKind = 3;

// Keys compare as byte strings over at most this many bytes.
inline constexpr size_t kSortKeyMax = 300;

// ---- Lock primitives --------------------------------------------------

// Exclusive record lock on the whole file behind fd, tried without blocking
// up to 10 times, sleeping 2 seconds between tries. 0 when taken; -1 when the
// file stayed busy (after "File busy try again later!\n" on stderr, once);
// -2 at once on any other failure (a bad or read-only descriptor, say).
int get_write_lock(int fd);

// The same with a shared (read) lock.
int get_read_lock(int fd);

// Releases this process's lock on fd. 0, or -1 when fcntl refuses; callers
// may ignore it (the lock also ends when the file is closed or the process
// exits).
int unlock_file(int fd);

// TARGET.lock, the lock file of a target.
std::string lock_file_path(std::string_view target);

// Whether the store changes qmail's control file of this name line by line
// under its lock file (rcpthosts, morercpthosts, virtualdomains, locals):
// any other writer of such a file must hold the same lock.
bool is_store_control_file(std::string_view name);

// Opens (creating with mode 0600) a lock file write-only without following
// a link at its name: the descriptor, or -1 (errno ELOOP for a link).
int open_lock_file(const std::string& lock_path);

// Holds the write lock on one lock file for its own lifetime; the destructor
// (or unlock()) releases the lock and closes the file. For callers that lock
// a file of their own naming, such as a domain's password file.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens (creating with mode 0600) lock_path write-only and takes the write
  // lock. 0 when held; -17 when the file cannot be opened, a symbolic link
  // at the name included (errno says why, nothing printed); -1 when the
  // lock cannot be taken (the file is closed).
  int lock(const std::string& lock_path);
  // The same, but waits in the kernel's queue for up to `limit` instead of
  // polling, so that many writers queued on one busy lock are served in
  // turn rather than left to lose every poll. -1 after "File busy try again
  // later!\n" when the limit passes.
  int lock_waiting(const std::string& lock_path, std::chrono::seconds limit);
  // What waiting writers allow: about as long as the polling lock tries
  // (10 tries, 2 seconds apart), so a busy file gives up alike either way.
  static constexpr std::chrono::seconds kBusyWait{18};
  // Gives the held lock file an owner, on its descriptor: true when it has
  // that owner afterwards.
  bool give_owner(uid_t uid, gid_t gid);
  void unlock();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// ---- Sort key ---------------------------------------------------------

// The key that orders a line: the text before the first ":" (for
// kAssignKind without the leading "+" and the "-" before the colon), at most
// kSortKeyMax bytes. A dotted name of two or more labels (empty labels
// dropped, only the first ten counted) is rearranged as the last two labels
// followed by the others in order: mail.example.com keys as
// example.com.mail, so sub-domains sort right after their parent domain.
// Anything else keys as the text itself.
std::string sort_key(std::string_view line, int kind);

// ---- Editors ----------------------------------------------------------

// Inserts line before the first line whose key is strictly greater (after
// lines with an equal key); no duplicate check. For kAssignKind every "."
// line is dropped and one "." ends the file. A missing target is created.
// When the existing lines were out of key order, writes
// "NOTICE: Out of order entries found in PATH\n   Sorting...\n\n" and
// re-sorts with sort_file after releasing the lock (its result ignored).
// 0; -17 when the lock file cannot be opened ("could not open lock file
// PATH.lock\n"), when the temporary file or the target cannot be opened, or
// when reading, writing or the rename fails; -1 when the lock cannot be
// taken; -24 when memory runs out.
int update_file(const std::string& path, std::string_view line, int kind);

// Rewrites the file with its lines in key order (equal keys keep their file
// order); for kAssignKind "." lines are dropped and one "." ends the file.
// capacity is the most lines the caller expects. 0; -17 and -1 as
// update_file; -24 when capacity is negative, memory runs out or the file
// holds more lines than capacity (target untouched).
int sort_file(const std::string& path, int capacity, int kind);

// Removes every line equal, byte for byte, to one of lines (an empty list
// copies every line). A missing target is created empty. The number of lines
// removed (0 or more); -17, -1 and -24 as update_file.
int remove_lines(const std::string& path, std::span<const std::string> lines);

// Removes the lines that begin with prefix (only the first such line when
// first_only), working through the backup PATH.bak: the target is moved
// there, the new list is written from it into a private copy (PATH.PID)
// with the given mode and the old owner and group and renamed into place
// once whole, and the backup is deleted. A writer killed half-way leaves
// the old list whole under PATH.bak while PATH is missing (the store check
// puts it back), never a part of the new one. The number of lines removed,
// or -1 on any failure, with one of these on stderr:
//   "PATH: ERROR\n"                        the target's status is unreadable,
//                                          or it is no plain file of one name
//                                          (a link, a FIFO, a second name)
//   "could not open lock file PATH.lock: ERROR\n"
//   "rename PATH->PATH.bak: ERROR\n"
//   "fopen(PATH, w+: ERROR\n"              the new target cannot be created
//   "chmod(PATH, OWNER, GROUP, MODE): ERROR\n"   mode or owner cannot be set
//   "fopen(PATH, r+): ERROR\n"             the backup cannot be read
// (a busy lock prints get_write_lock's message; a failed read or write of
// the lines prints nothing). On every failure after the move the backup is
// renamed back, so the original contents are under the target's name again.
int remove_prefix_lines(std::string_view prefix, const std::string& path, mode_t mode,
                        bool first_only);

// ---- Test hook --------------------------------------------------------

// How often and how far apart the lock is tried. Production always keeps
// the defaults; only the test suite changes them, so that contention can be
// exercised without waiting 18 seconds per case.
struct LockRetryPolicy {
  int attempts = 10;
  std::chrono::milliseconds pause{2000};
};
void set_lock_retry_policy(const LockRetryPolicy& policy);

// Building blocks shared by the line-file editors (not part of the store's
// surface): a line reader that takes lines of any length, a checked line
// writer, the temporary copy guard and the common lock-copy-rename frame.
// Each guard releases what it holds in its destructor, so an editor can
// return early from any step and leave nothing behind.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "store/locked_file.h"

// Reads a file line by line; each line is returned whole, without its
// newline, however long it is and whatever bytes it holds.
class LineReader {
 public:
  LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Opens path with the open(2) access flags given. A missing file reads as
  // empty when missing_is_empty. false (errno set) when it cannot be opened.
  bool open(const std::string& path, int flags, bool missing_is_empty);
  // The next line into line; false at the end of the file or on a read error.
  bool next(std::string& line);
  // A read error ended the lines early: the caller must not trust them.
  bool failed() const { return failed_; }

 private:
  FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// Writes lines through a buffer and remembers any failed write, so that the
// one check in finish() covers every line.
class LineWriter {
 public:
  LineWriter() = default;
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Takes over an open, writable descriptor. false (fd closed) on failure.
  bool adopt(int fd);
  // Writes line and a newline.
  void put(std::string_view line);
  // Flushes, syncs to disk and closes. false when any write, the flush, the
  // sync or the close failed.
  bool finish();

 private:
  FILE* file_ = nullptr;
  bool failed_ = false;
};

// The temporary copy TARGET.PID of a target. The destructor deletes the copy
// unless replace() has moved it over the target.
class TempFile {
 public:
  explicit TempFile(std::string_view target);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates (or truncates a stale copy of a dead process with the same pid)
  // the copy with mode 0666 under the umask. false (errno set) on failure.
  bool create();
  LineWriter& out() { return out_; }
  // Finishes the writes and renames the copy over target: 0, or -17 when a
  // write or the rename failed (the copy is then deleted).
  int replace(const std::string& target);

 private:
  std::string path_;
  LineWriter out_;
  bool created_ = false;
};

// One locked rewrite of a target: the lock held, the copy created, the
// target open for reading. Members are released in reverse order: the
// target is closed, the copy deleted unless it replaced the target, then
// the lock is released.
struct LockedRewrite {
  explicit LockedRewrite(const std::string& target) : path(target), temp(target) {}

  const std::string& path;
  FileLock lock;
  TempFile temp;
  LineReader in;
};

// Takes the lock, creates the copy and opens the target with the access
// flags given (a missing target reads as empty). 0; -17 when the lock file
// ("could not open lock file %s\n"), the copy or the target cannot be
// opened; -1 when the lock cannot be taken.
int begin_rewrite(LockedRewrite& rewrite, int target_flags);

// Checks the target was read to its end and moves the copy over it: 0 or
// -17.
int finish_rewrite(LockedRewrite& rewrite);

// The kind-1 end-of-file marker line.
inline bool is_assign_end_line(std::string_view line, int kind) {
  return kind == kAssignKind && line == ".";
}

// Building blocks shared by the line-file editors (not part of the store's
// surface): a line reader that takes lines of any length and the common
// lock-copy-rename frame over the temporary copy of base/temp_file.h.
// Each guard releases what it holds in its destructor, so an editor can
// return early from any step and leave nothing behind.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "base/locked_file.h"
#include "base/temp_file.h"

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

// One locked rewrite of a target: the lock held, the copy created, the
// target open for reading. Members are released in reverse order: the
// target is closed, the copy deleted unless it replaced the target, then
// the lock is released.
struct LockedRewrite {
  explicit LockedRewrite(const std::string& target)
      : path(target), temp(temp_name_for(target)) {}

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
// REQUIRES: begin_rewrite returned 0 for rewrite (its lock still held)
int finish_rewrite(LockedRewrite& rewrite);

// The kind-1 end-of-file marker line.
inline bool is_assign_end_line(std::string_view line, int kind) {
  return kind == kAssignKind && line == ".";
}

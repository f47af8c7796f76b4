// The one way the store replaces a file: write a private temporary copy
// beside it, give the copy its owner and mode while it is still private,
// sync it, and rename it over the target, so a reader sees the old file or
// the new one and never a part, and a crash leaves the old file in place.
//
// Owns: the temporary copy's life. The copy is created O_EXCL without
// following a link (a stale copy of a dead process with our pid is removed
// first: it could be a link or carry another owner); the destructor removes
// it unless replace() moved it over the target.
//
// Routines:
//   temp_name_for   TARGET.PID, the usual name of a target's copy.
//   TempFile        create() makes the copy with the mode given (0666 by
//                   default) under the umask: false (errno set) when it
//                   cannot. A copy that will hold secrets is created narrow,
//                   so nobody can open it before its mode is set.
//                   give_owner() gives the open copy an owner when it has
//                   another: false when that fails and the caller requires
//                   it (otherwise a process that may not give a file away
//                   keeps it). set_mode() sets the open copy's mode; call it
//                   after give_owner(), as a change of owner may clear mode
//                   bits: false when it fails. out() writes through a buffer
//                   that remembers any failure; replace() flushes, syncs,
//                   closes and renames: 0, or -17 (the copy is removed).
//                   A copy that cannot be made and a target that cannot be
//                   replaced are named on stderr ("could not create PATH:
//                   REASON", "could not replace PATH: REASON"): the pages
//                   say only "Could not update file".
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>

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
  // The descriptor written to, or -1.
  int fd() const { return file_ != nullptr ? fileno(file_) : -1; }
  // Writes text as it is.
  void write(std::string_view text);
  // Writes line and a newline.
  void put(std::string_view line);
  // Flushes, syncs to disk and closes. false when any write, the flush, the
  // sync or the close failed.
  bool finish();

 private:
  FILE* file_ = nullptr;
  bool failed_ = false;
};

std::string temp_name_for(std::string_view target);

class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool create(mode_t mode = 0666);
  bool give_owner(uid_t uid, gid_t gid, bool required);
  bool set_mode(mode_t mode);
  LineWriter& out() { return out_; }
  int replace(const std::string& target);

 private:
  std::string path_;
  LineWriter out_;
  bool created_ = false;
};

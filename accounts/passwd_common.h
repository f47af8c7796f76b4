// What the password file's lookups and its rewrite share (not part of the
// store's surface): the domain lookup, the rule of who may use a domain's
// password file, and readers of lines of any length.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// Paths inside the store keep at most 299 characters.
inline constexpr size_t kPasswdPathBuffer = 300;


// Only root and the domain's own user may read or change its password file.
bool may_use_domain(uid_t domain_uid);

// Reads a stream line by line, each line whole however long it is. The line
// handed out points into the reader's buffer and lasts until the next call.
class LineInput {
 public:
  explicit LineInput(FILE* file) : file_(file) {}
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

  // The next line without its "\n"; ended tells whether it had one. false at
  // the end of the stream or on a read error.
  bool next(std::string_view& line, bool& ended);
  // A read error ended the lines early.
  bool failed() const { return ferror(file_) != 0; }

 private:
  FILE* file_;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
};

// Reads a descriptor in large pieces through one buffer and hands out its
// lines, each whole however long it is (the buffer grows for a line longer
// than itself). A whole password file passes through without a stream's
// per-line cost and without ever being held in memory at once. The line
// handed out points into the buffer and lasts until the next call. Does not
// own the descriptor.
class ChunkLines {
 public:
  explicit ChunkLines(int fd) : fd_(fd) {}
  ChunkLines(const ChunkLines&) = delete;
  ChunkLines& operator=(const ChunkLines&) = delete;

  // The next line without its "\n"; ended tells whether it had one. false
  // at the end of the file or on a read error.
  bool next(std::string_view& line, bool& ended);
  // A read error ended the lines early.
  bool failed() const { return failed_; }

 private:
  bool fill();

  int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t start_ = 0;    // the first byte not yet handed out
  size_t end_ = 0;      // the end of the bytes read
  size_t scanned_ = 0;  // bytes from start_ known to hold no "\n"
  bool at_end_ = false;
  bool failed_ = false;
};

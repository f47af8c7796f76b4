// Reading a file line by line at the speed of large reads: the password
// file's rewrite and index rebuild and the qmail table compilers pass
// tables of hundreds of thousands of lines through one reused buffer.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

// Reads a descriptor in large pieces through one buffer and hands out its
// lines, each whole however long it is (the buffer grows for a line longer
// than itself). A whole password file or table passes through without a stream's
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

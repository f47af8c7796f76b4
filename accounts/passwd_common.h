// What the password file's lookups and its rewrite share (not part of the
// store's surface): the domain lookup, the rule of who may use a domain's
// password file, and a reader of lines of any length from a stream.
#pragma once

#include <sys/types.h>

#include <cstdio>
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

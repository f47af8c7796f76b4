// What the password file's lookups and its rewrite share (not part of the
// store's surface): the domain lookup, the rule of who may use a domain's
// password file, and a reader of lines of any length.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

// Paths inside the store keep at most 299 characters.
inline constexpr size_t kPasswdPathBuffer = 300;

// How long a change (or the lookup's repair) waits in the kernel's queue
// for another process's change of the same domain: as long as the store's
// polling lock would try, so a busy domain gives the same message and code.
inline constexpr std::chrono::seconds kPasswdLockWait{20};

// The directory, uid and gid of a domain (an alias gives its real domain's).
// false when the table does not know the name. The caller's name stays as it
// is.
bool find_domain(const std::string& domain, std::string* dir, uid_t* uid, gid_t* gid);

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

// A directory held open while many paths below it are used. A listing of a
// hundred thousand mailboxes reaches each one's files relative to the open
// domain directory, so the kernel walks two path components for each file
// instead of the whole absolute path.
//
//   OpenDir::hold   holds DIR open (a path descriptor of a directory, the
//                   last component not followed through a link). false when
//                   it cannot; every path is then used as given.
//   OpenDir::place  where a path lies: the held descriptor and the rest of
//                   the path when the path starts with DIR and "/" and goes
//                   on below it, else AT_FDCWD and the path itself. Either
//                   way openat/fstatat on the result reach what the path
//                   names (the held directory is the one its name named when
//                   the listing began).
#pragma once

#include <fcntl.h>

#include <string>
#include <string_view>

struct PathAt {
  int dirfd;
  std::string name;
};

class OpenDir {
 public:
  OpenDir() = default;
  ~OpenDir();
  OpenDir(const OpenDir&) = delete;
  OpenDir& operator=(const OpenDir&) = delete;

  bool hold(const std::string& dir);
  PathAt place(std::string_view path) const;

 private:
  int fd_ = -1;
  std::string prefix_;  // DIR + "/"
};

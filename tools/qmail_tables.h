// The two tables the stand-ins compile, turned into cdb (key, value) pairs.
//
// users/assign: lines "=address:user:uid:gid:home:dash:ext:" give the key
// "=" + address, lines "+prefix:user:uid:gid:home:dash:pre:" the key
// "!" + prefix; the value is user, uid, gid, home, dash and ext (or pre),
// each followed by a NUL byte. The table ends at the line "."; anything
// after it is ignored.
//
// control/morercpthosts: one host a line; each becomes a lower-cased key
// with an empty value. Blank lines and lines starting with "#" are skipped.
#pragma once

#include <string>
#include <string_view>

#include "base/chunk_lines.h"
#include "tools/qmail_tool.h"

// Compiles users/assign as it is read, line by line, so a table of
// hundreds of thousands of domains streams into the database without being
// held in memory. next() gives the entries in file order (key and value
// valid until the next call): 1, 0 after the final "." line, -1 when a line
// is malformed or the "." is missing (problem() says what, and which line)
// or the file cannot be read (problem() empty).
class AssignCompiler {
 public:
  explicit AssignCompiler(int fd) : lines_(fd) {}
  int next(std::string_view& key, std::string_view& value);
  const std::string& problem() const { return problem_; }

 private:
  ChunkLines lines_;
  size_t number_ = 0;
  std::string key_, value_;
  std::string problem_;
};

// Compiles control/morercpthosts. Never fails.
KeyValuePairs compile_morercpthosts(const std::string& text);

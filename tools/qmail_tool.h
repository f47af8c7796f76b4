// What qmail-newu and qmail-newmrh share: finding the qmail home they
// belong to, reading a table whole, and compiling (key, value) pairs into
// a cdb file through a temporary file and a rename.
//
// The tools never spell an absolute path: their home is the parent of the
// directory the running program lies in, so a copy at
// ROOT/var/qmail/bin/qmail-newu works on ROOT/var/qmail.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cdb/cdb.h"

// Exit status of every refusal, as qmail's tools use it.
inline constexpr int kToolFailure = 111;

// (key, value) pairs in the order added, their bytes back to back in one
// text: a table of hundreds of thousands of entries costs two allocations
// that grow, not two per entry.
class KeyValuePairs {
 public:
  // Starts an entry: its key, then its value, are appended piece by piece.
  void begin_key() { entries_.push_back({bytes_.size(), 0, 0}); }
  void begin_value() {
    Entry& e = entries_.back();
    e.key_length = bytes_.size() - e.start;
  }
  void append(std::string_view piece) { bytes_.append(piece); }
  void append(char c) { bytes_.push_back(c); }
  // Ends the entry begun last.
  void end() {
    Entry& e = entries_.back();
    e.value_length = bytes_.size() - e.start - e.key_length;
  }
  void add(std::string_view key, std::string_view value) {
    begin_key();
    append(key);
    begin_value();
    append(value);
    end();
  }
  void clear() {
    bytes_.clear();
    entries_.clear();
  }
  void reserve(size_t entries, size_t bytes) {
    entries_.reserve(entries);
    bytes_.reserve(bytes);
  }
  size_t size() const { return entries_.size(); }
  std::string_view key(size_t i) const {
    return std::string_view(bytes_).substr(entries_[i].start, entries_[i].key_length);
  }
  std::string_view value(size_t i) const {
    const Entry& e = entries_[i];
    return std::string_view(bytes_).substr(e.start + e.key_length, e.value_length);
  }

 private:
  struct Entry {
    size_t start, key_length, value_length;
  };
  std::string bytes_;
  std::vector<Entry> entries_;
};

// The qmail home of the running program: the parent of the directory of
// the path it was started as (not followed through a symbolic link, so a
// link in ROOT/var/qmail/bin works on ROOT/var/qmail), else of argv0 when
// it holds a "/", else of /proc/self/exe. Empty when none resolves.
std::string tool_qmail_home(const char* argv0);

// Reads a whole file. 1 read, 0 missing, -1 any other failure.
int tool_read_file(const std::string& path, std::string* text);

// Hands out the lines of a text without their "\n"; a last line without
// one counts too. Lines keep any length; each is a view into the text.
class ToolLines {
 public:
  explicit ToolLines(std::string_view text) : rest_(text) {}
  bool next(std::string_view& line);

 private:
  std::string_view rest_;
};

// Writes `pairs` in order into temp_path, gives it the mode 0644 less the
// process's mask (as a file created under that mask would have) and only
// then renames it over final_path. false after a message on stderr; the
// final file is then untouched.
bool tool_write_cdb(const KeyValuePairs& pairs, const std::string& temp_path,
                    const std::string& final_path, const char* program);

// The same with the pairs streamed from source (cdb/cdb.h). A source that
// fails (-1) fails the write without a message and leaves temp_path for
// the caller to remove.
bool tool_write_cdb(const cdb_source& source, const std::string& temp_path,
                    const std::string& final_path, const char* program);

// Prints "PROGRAM: fatal: MESSAGE\n" on stderr and exits 111.
[[noreturn]] void tool_fatal(const char* program, const std::string& message);

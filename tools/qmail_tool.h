// What qmail-newu and qmail-newmrh share: finding the qmail home they
// belong to, reading a table whole, and compiling (key, value) pairs into
// a cdb file through a temporary file and a rename.
//
// The tools never spell an absolute path: their home is the parent of the
// directory the running program lies in, so a copy at
// ROOT/var/qmail/bin/qmail-newu works on ROOT/var/qmail.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Exit status of every refusal, as qmail's tools use it.
inline constexpr int kToolFailure = 111;

using KeyValuePairs = std::vector<std::pair<std::string, std::string>>;

// The qmail home of the running program: the parent of the directory of
// the path it was started as (not followed through a symbolic link, so a
// link in ROOT/var/qmail/bin works on ROOT/var/qmail), else of argv0 when
// it holds a "/", else of /proc/self/exe. Empty when none resolves.
std::string tool_qmail_home(const char* argv0);

// Reads a whole file. 1 read, 0 missing, -1 any other failure.
int tool_read_file(const std::string& path, std::string* text);

// Splits text into lines without their "\n"; a last line without one
// counts too. Lines keep any length.
std::vector<std::string> tool_lines(const std::string& text);

// Writes `pairs` in order into temp_path, gives it the mode 0644 less the
// process's mask (as a file created under that mask would have) and only
// then renames it over final_path. false after a message on stderr; the
// final file is then untouched.
bool tool_write_cdb(const KeyValuePairs& pairs, const std::string& temp_path,
                    const std::string& final_path, const char* program);

// Prints "PROGRAM: fatal: MESSAGE\n" on stderr and exits 111.
[[noreturn]] void tool_fatal(const char* program, const std::string& message);

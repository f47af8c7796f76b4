// The labelled configuration language the usage client reads its settings
// in (tmeterc.conf). A file is a list of labels, each holding atoms:
//
//   Server: Timeout = 5; Remote = 127.0.0.1:4000;
//           Filename = "/var/run/tmeter;sock";   // continues Server
//   include: more.conf;
//
// A label line starts in the first column; its name runs to the first ':'
// outside quotes (blanks kept). Atoms are "name = value" or a bare value,
// each ended by ';'. A line starting with a blank or tab continues the last
// label of the same file. Double quotes toggle quoted text (";", ":", "=",
// "//" and "/*" are then ordinary); outside quotes a backslash and decimal
// digits stand for one byte (\59 is ';'), a backslash and any other
// character for that character. "//" ends a line, "/* ... */" may span
// lines. A line ends at LF or CR (CR LF is one line end) and holds at most
// 252 characters; a last line without a line end is not read. The values
// of every "include" label name further files, read after the file that
// names them; a file already read in the same load is refused, so include
// cycles end the load.
//
// Every problem is reported on stdout with a message starting "config: ";
// the load then yields nothing, and the caller treats the file as absent.
// A file that does not exist yields nothing without a message, and so does
// a path that made absolute passes 253 characters (never cut: a cut path
// names another file).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct config_atom {
  std::string name;    // empty: a bare value, never matched by name
  std::string value;   // may be empty for a named atom
  unsigned flags = 0;  // kConfigAtomRead: an include already read
  unsigned long line = 0;
};

inline constexpr unsigned kConfigAtomRead = 1;

struct config_label {
  std::string name;
  std::string path;  // the absolute path of the file that declared it
  unsigned long line = 0;
  std::vector<config_atom> atoms;
};

inline constexpr unsigned kConfigInComment = 1;

struct config {
  std::string path;    // the absolute path of the file being read
  unsigned flags = 0;  // kConfigInComment: a block comment is open
  unsigned long line = 0;
  std::vector<config_label> labels;  // in the order read
  // Where the label of the file being read sits in `labels` (continuation
  // lines add to it); -1 before the file's first label.
  long current_label = -1;
  // Device and inode of every file read in this load: a file is read once.
  std::vector<std::pair<unsigned long, unsigned long>> files_read;
};

// Reads the file at path and every file it includes. The configuration, to
// be released with config_free, or nullptr after a message on stdout (none
// when the file does not exist).
config* config_load(const char* path);

// The value of the first atom named `atom` among the labels named `label`,
// both in file order and compared ignoring ASCII case; nullptr when there
// is none or no configuration. The text lives as long as the configuration.
const char* config_lookup(const config* conf, const char* label, const char* atom);

// Releases a configuration; nullptr is ignored.
void config_free(config* conf);

// The line parser under config_load, for its file reader.

// The longest line a file may hold, line end not counted.
inline constexpr size_t kConfigLineMax = 252;

// Takes one line (without its line end) into the configuration, with
// conf->line already counting it. false after a message on stdout.
bool config_parse_line(config& conf, std::string_view line);

// Turns quoted and escaped text into the characters it stands for. false
// after a message on stdout when a quote or backslash is left open.
bool config_convert_literal(const config& conf, std::string_view text, std::string& out);

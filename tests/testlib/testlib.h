// Shared helpers of the unit and end-to-end tests: a private sandbox tree per
// test case, small file helpers, and the one place that spawns a program
// with a chosen environment, standard input and working directory.
#pragma once

#include <set>
#include <string>
#include <vector>

// A fresh tree laid out like a host: ROOT/usr/local/tessera,
// ROOT/var/qmail/{bin,control,users} with the qmail stand-ins copied into
// bin/ and the sandbox twins of the delivery and vacation reply programs
// into the store's bin/ (when they have been built), and ROOT/www as the
// CGI's working directory (with an empty html/ folder). Removed again by the destructor
// unless LARKSPUR_KEEP_SANDBOX is set.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  // root() + absolute, as the program sees a fixed path.
  std::string path(const std::string& absolute) const { return root_ + absolute; }
  // The CGI working directory (holds html/ and larkspur.acl).
  std::string www() const { return root_ + "/www"; }

 private:
  std::string root_;
};

// The path of a build output (build/larkspur-sandbox.cgi and the like).
std::string build_output(const std::string& name);

// Writes (replaces) a file, creating missing parent directories.
void write_file(const std::string& path, const std::string& content);

// The whole content of a file; "" when it cannot be read.
std::string read_file(const std::string& path);

bool file_exists(const std::string& path);

// The lines of a text, without their "\n".
std::vector<std::string> lines_of(const std::string& text);

// The ":"-separated fields of a stored line, empty ones included.
std::vector<std::string> fields_of(const std::string& line);

// The names of the entries of a directory (no "." or "..").
std::set<std::string> names_in(const std::string& dir);

// A line of `size` bytes starting with `head`, whose other bytes run through
// everything a line may hold but a newline: NUL, tabs, carriage returns,
// colons, high bytes.
std::string long_line(const std::string& head, size_t size);

// Makes a UNIX socket at path: a file that exists, is no link, and that no
// one can open for reading or writing.
void make_socket(const std::string& path);

// A CGI response as the program prints it for a page body: the content
// type, then the body. A body that begins with a "Status: ..." line has
// that line moved before the content type, where the program prints it.
std::string cgi_response(const std::string& body);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> argv;  // argv[0] is the program path
  std::vector<std::string> env;   // the whole environment, "NAME=value"
  std::string input;              // written to standard input, then closed
  std::string workdir;            // "" keeps the test's own
};

// Runs a program to its end and collects its outputs.
RunResult run_program(const RunOptions& options);

// Runs the shell command lines at once, one job each, and waits for all:
// their outputs interleaved, the shell's status.
RunResult run_at_once(const std::vector<std::string>& jobs);

// tinycdb, the independent reader and writer of constant databases.
using CdbPairs = std::vector<std::pair<std::string, std::string>>;

// The path of tinycdb's "cdb" program, or "" when it is not installed.
std::string tinycdb();

// Runs "cdb ARGS..." with the given standard input.
RunResult run_tinycdb(const std::vector<std::string>& args, const std::string& input = "");

// The records in tinycdb's own text form, as "cdb -d" prints them and
// "cdb -c" reads them: "+KLEN,VLEN:KEY->VALUE" lines and an empty line.
std::string tinycdb_records(const CdbPairs& pairs);

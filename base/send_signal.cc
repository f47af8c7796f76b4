#include "base/send_signal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/site.h"
#include "base/text.h"

namespace {

// A listing line is read into a field of this size; the rest of a longer
// line is dropped.
constexpr std::size_t kListingLineField = 1024;
// How many characters of the pid field are read as the number.
constexpr std::size_t kPidDigits = 9;

constexpr const char* kFieldSeparators = " \t";

// The helper runs with this environment and nothing of the caller's: it is
// setuid root, so nothing it inherits may choose what it runs.
constexpr const char* kHelperPath = "PATH=/usr/bin:/bin";

// Programs that carry the watched program's name on their command line only
// because they supervise or log it; signalling them would hit the wrong
// process.
constexpr std::string_view kNeverSignalled[] = {"supervise", "multilog", "svscan"};

struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};
using ListingPipe = std::unique_ptr<FILE, PipeCloser>;

// The next line of the listing without its line end, at most 1023
// characters of it; the rest of an over-long line is read and dropped, so
// its tail is never taken for a line of its own.
bool read_listing_line(FILE* pipe, std::string& line) {
  char buffer[kListingLineField];
  if (fgets(buffer, sizeof buffer, pipe) == nullptr) return false;
  line = buffer;
  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
    return true;
  }
  for (int c = getc(pipe); c != EOF && c != '\n'; c = getc(pipe)) {
  }
  return true;
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = line.find_first_not_of(kFieldSeparators);
  while (start != std::string::npos) {
    std::size_t end = line.find_first_of(kFieldSeparators, start);
    fields.push_back(line.substr(start, end - start));
    start = line.find_first_not_of(kFieldSeparators, end);
  }
  return fields;
}

// Where the header puts a field: its place, or `otherwise` when it has none.
std::size_t header_column(const std::string& header, std::string_view field,
                          std::size_t otherwise) {
  const std::vector<std::string> fields = split_fields(header);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i] == field) return i;
  }
  return otherwise;
}

// The columns of the listing that matter here.
struct ListingColumns {
  std::size_t pid = 0;
  std::size_t command = 0;  // the command line's first word
};

ListingColumns listing_columns(const std::string& header) {
  return {header_column(header, "PID", 0), header_column(header, "COMMAND", 0)};
}

// A word taken as a path names the program when the name is its whole last
// part: "qmail-send" and ".../bin/qmail-send" do, "qmail-send.log" or an
// argument that merely mentions the name do not.
bool word_names(std::string_view word, std::string_view name) {
  if (!word.ends_with(name)) return false;
  return word.size() == name.size() || word[word.size() - name.size() - 1] == '/';
}

// An empty name would match everywhere and signal the whole host.
bool names_process(const std::string& line, const std::string& name, std::size_t command) {
  if (name.empty()) return false;
  for (std::string_view excluded : kNeverSignalled) {
    if (line.find(excluded) != std::string::npos) return false;
  }
  const std::vector<std::string> fields = split_fields(line);
  for (std::size_t i = command; i < fields.size(); ++i) {
    if (word_names(fields[i], name)) return true;
  }
  return false;
}

// The process id a line gives, or 0 when it gives none. Only a positive
// number counts: kill() reads 0 and negative numbers as whole process
// groups, which a garbled line must never reach.
pid_t listed_pid(const std::string& line, std::size_t column) {
  const std::vector<std::string> fields = split_fields(line);
  if (column >= fields.size()) return 0;
  std::string digits = fields[column];
  cut_text(digits, kPidDigits);
  const long number = std::strtol(digits.c_str(), nullptr, 10);
  return number > 0 ? static_cast<pid_t>(number) : 0;
}

}  // namespace

int send_signal_by_name(const std::string& name, int signal_number) {
  const pid_t own_pid = getpid();
  ListingPipe pipe(popen("ps aux", "r"));
  if (!pipe) {
    perror("popen on ps command");
    return -1;
  }
  std::string line;
  if (!read_listing_line(pipe.get(), line)) return 0;
  const ListingColumns columns = listing_columns(line);
  while (read_listing_line(pipe.get(), line)) {
    if (!names_process(line, name, columns.command)) continue;
    const pid_t pid = listed_pid(line, columns.pid);
    if (pid != 0 && pid != own_pid) kill(pid, signal_number);
  }
  return 0;
}

std::string signal_helper_path() { return tessera_home() + "/bin/tessera-hup"; }

int hang_up_qmail_send() {
  if (geteuid() == 0) return send_signal_by_name(qmail_send_match(), SIGHUP);
  // The store's user may not signal root's qmail-send: the setuid helper
  // may, and does nothing else.
  const std::string helper = signal_helper_path();
  const std::string root = "LARKSPUR_ROOT=" + site_root();
  char* const argv[] = {const_cast<char*>("tessera-hup"), nullptr};
  char* const env_with_root[] = {const_cast<char*>(kHelperPath), const_cast<char*>(root.c_str()),
                                 nullptr};
  char* const env_plain[] = {const_cast<char*>(kHelperPath), nullptr};
  char* const* env = site_root().empty() ? env_plain : env_with_root;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execve(helper.c_str(), argv, env);
    fprintf(stderr, "tessera-hup: cannot run %s: %s\n", helper.c_str(), strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? -1 : 0;
}

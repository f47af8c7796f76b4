#include "base/send_signal.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace {

// A listing line is read into a field of this size; the rest of a longer
// line is dropped.
constexpr std::size_t kListingLineField = 1024;
// How many characters of the pid field are read as the number.
constexpr std::size_t kPidDigits = 9;

constexpr const char* kFieldSeparators = " \t";

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

// Which field of a line holds the process id: the place of "PID" in the
// header, 0 when the header has none.
std::size_t pid_column(const std::string& header) {
  const std::vector<std::string> fields = split_fields(header);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i] == "PID") return i;
  }
  return 0;
}

// An empty name would be found in every line and signal the whole host.
bool names_process(const std::string& line, const std::string& name) {
  if (name.empty() || line.find(name) == std::string::npos) return false;
  for (std::string_view excluded : kNeverSignalled) {
    if (line.find(excluded) != std::string::npos) return false;
  }
  return true;
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
  const std::size_t column = pid_column(line);
  while (read_listing_line(pipe.get(), line)) {
    if (!names_process(line, name)) continue;
    const pid_t pid = listed_pid(line, column);
    if (pid != 0 && pid != own_pid) kill(pid, signal_number);
  }
  return 0;
}

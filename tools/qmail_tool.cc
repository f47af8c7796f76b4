#include "tools/qmail_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "accounts/cdb.h"

namespace {

std::string parent_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The resolved path of the running program.
std::string program_path(const char* argv0) {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  if (argv0 == nullptr || std::strchr(argv0, '/') == nullptr) return "";
  char* resolved = realpath(argv0, nullptr);
  if (resolved == nullptr) return "";
  std::string path(resolved);
  std::free(resolved);
  return path;
}

}  // namespace

std::string tool_qmail_home(const char* argv0) {
  std::string bin = parent_of(program_path(argv0));
  return bin.empty() ? "" : parent_of(bin);
}

int tool_read_file(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  text->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return n == 0 ? 1 : -1;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
}

std::vector<std::string> tool_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool tool_write_cdb(const KeyValuePairs& pairs, const std::string& temp_path,
                    const std::string& final_path, const char* program) {
  size_t next = 0;
  cdb_source source = [&](std::string_view& key, std::string_view& value) {
    if (next == pairs.size()) return 0;
    key = pairs[next].first;
    value = pairs[next].second;
    ++next;
    return 1;
  };
  if (cdb_build(source, temp_path, final_path) != 0) return false;
  mode_t mask = umask(0);
  umask(mask);
  if (chmod(final_path.c_str(), 0644 & ~mask) != 0) {
    std::fprintf(stderr, "%s: fatal: unable to chmod %s\n", program, final_path.c_str());
    return false;
  }
  return true;
}

void tool_fatal(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: fatal: %s\n", program, message.c_str());
  std::exit(kToolFailure);
}

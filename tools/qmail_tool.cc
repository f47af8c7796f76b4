#include "tools/qmail_tool.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cdb/cdb.h"

namespace {

// The path the running program was started as: the name given to execve
// (an install may reach the program through a symbolic link in bin/, and
// it is that bin/ whose parent is the home), else the resolved program.
std::filesystem::path program_path(const char* argv0) {
  const char* started_as = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  // argv[0] names the program's place only when it holds a "/".
  if (started_as == nullptr || *started_as == '\0') {
    started_as = argv0 != nullptr && std::strchr(argv0, '/') != nullptr ? argv0 : nullptr;
  }
  if (started_as != nullptr) {
    // Relative to the working directory the program started in: nothing
    // has changed it yet.
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(started_as, error);
    if (!error) return path.lexically_normal();
  }
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::filesystem::path(std::string(buffer, static_cast<size_t>(n)));
  return {};
}

}  // namespace

std::string tool_qmail_home(const char* argv0) {
  std::filesystem::path program = program_path(argv0);
  if (program.empty()) return "";
  return program.parent_path().parent_path().string();
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

bool ToolLines::next(std::string_view& line) {
  if (rest_.empty()) return false;
  const void* found = std::memchr(rest_.data(), '\n', rest_.size());
  size_t length = found != nullptr
                      ? static_cast<size_t>(static_cast<const char*>(found) - rest_.data())
                      : rest_.size();
  line = rest_.substr(0, length);
  rest_.remove_prefix(found != nullptr ? length + 1 : length);
  return true;
}

bool tool_write_cdb(const KeyValuePairs& pairs, const std::string& temp_path,
                    const std::string& final_path, const char* program) {
  size_t next = 0;
  cdb_source source = [&](std::string_view& key, std::string_view& value) {
    if (next == pairs.size()) return 0;
    key = pairs.key(next);
    value = pairs.value(next);
    ++next;
    return 1;
  };
  return tool_write_cdb(source, temp_path, final_path, program);
}

bool tool_write_cdb(const cdb_source& source, const std::string& temp_path,
                    const std::string& final_path, const char* program) {
  // Built and renamed onto itself, so that the mode is right before the
  // file takes the final name: readers must never meet it with mode 0600.
  if (cdb_build(source, temp_path, temp_path) != 0) return false;
  mode_t mask = umask(0);
  umask(mask);
  if (chmod(temp_path.c_str(), 0644 & ~mask) != 0) {
    std::fprintf(stderr, "%s: fatal: unable to chmod %s\n", program, temp_path.c_str());
    return false;
  }
  if (rename(temp_path.c_str(), final_path.c_str()) != 0) {
    std::fprintf(stderr, "%s: fatal: unable to move %s to %s\n", program, temp_path.c_str(),
                 final_path.c_str());
    return false;
  }
  return true;
}

void tool_fatal(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: fatal: %s\n", program, message.c_str());
  std::exit(kToolFailure);
}

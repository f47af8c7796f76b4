#include "base/leftover.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

// A process id as a writer prints it: decimal digits, no sign, no zero in
// front, within pid_t.
std::optional<pid_t> pid_text(std::string_view text) {
  if (text.empty() || text.size() > 9 || text[0] == '0') return std::nullopt;
  pid_t pid = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

}  // namespace

std::string pending_name_for(std::string_view name) {
  return "." + std::string(name) + "." + std::to_string(static_cast<unsigned long>(getpid()));
}

std::optional<PendingName> pending_target(std::string_view entry) {
  if (entry.size() < 4 || entry[0] != '.') return std::nullopt;
  size_t dot = entry.rfind('.');
  if (dot <= 1) return std::nullopt;
  std::optional<pid_t> pid = pid_text(entry.substr(dot + 1));
  if (!pid) return std::nullopt;
  return PendingName{std::string(entry.substr(1, dot - 1)), *pid};
}

std::optional<pid_t> copy_pid(std::string_view entry, std::string_view target) {
  if (entry.size() <= target.size() + 1 || !entry.starts_with(target) ||
      entry[target.size()] != '.') {
    return std::nullopt;
  }
  return pid_text(entry.substr(target.size() + 1));
}

bool writer_is_gone(const std::string& path, pid_t pid) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return false;
  if (pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH) return true;
  return time(nullptr) - status.st_mtime > kLeftoverAge.count();
}

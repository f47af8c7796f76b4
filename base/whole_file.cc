#include "base/whole_file.h"

#include <unistd.h>

#include "base/fd_guard.h"
#include "base/safe_path.h"

namespace {

constexpr size_t kReadPiece = 65536;

}  // namespace

bool read_whole_file(const std::string& path, std::string& text, size_t max_bytes) {
  int fd = open_regular(path, false);
  if (fd < 0) return false;
  FdGuard guard(fd);
  text.clear();
  char buffer[kReadPiece];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
    if (got < 0) return false;
    if (static_cast<size_t>(got) > max_bytes - text.size()) return false;
    text.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    lines.emplace_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

#include <fcntl.h>

#include <algorithm>
#include <new>

#include "base/error.h"
#include "base/locked_file_io.h"

namespace {

int remove_locked(const std::string& path, std::span<const std::string> lines) {
  LockedRewrite rewrite(path);
  if (int result = begin_rewrite(rewrite, O_RDONLY); result != 0) return result;
  int removed = 0;
  std::string line;
  while (rewrite.in.next(line)) {
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) {
      ++removed;
    } else {
      rewrite.temp.out().put(line);
    }
  }
  if (int result = finish_rewrite(rewrite); result != 0) return result;
  return removed;
}

}  // namespace

int remove_lines(const std::string& path, std::span<const std::string> lines) {
  try {
    return remove_locked(path, lines);
  } catch (const std::bad_alloc&) {
    return kErrMemory;
  }
}

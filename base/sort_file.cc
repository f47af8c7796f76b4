#include <fcntl.h>

#include <algorithm>
#include <new>
#include <vector>

#include "base/error.h"
#include "base/locked_file_io.h"

namespace {

struct KeyedLine {
  std::string key;
  std::string line;
};

// Reads every line but the kind-1 end markers. kErrMemory when there are
// more than capacity of them or memory runs out.
int read_keyed_lines(LineReader& in, int capacity, int kind, std::vector<KeyedLine>& entries) {
  std::string line;
  while (in.next(line)) {
    if (is_assign_end_line(line, kind)) continue;
    if (entries.size() >= static_cast<size_t>(capacity)) return kErrMemory;
    std::string key = sort_key(line, kind);
    entries.push_back({std::move(key), std::move(line)});
  }
  return 0;
}

int sort_locked(const std::string& path, int capacity, int kind) {
  LockedRewrite rewrite(path);
  if (int result = begin_rewrite(rewrite, O_RDWR); result != 0) return result;
  if (capacity < 0) return kErrMemory;
  std::vector<KeyedLine> entries;
  if (int result = read_keyed_lines(rewrite.in, capacity, kind, entries); result != 0) {
    return result;
  }
  // Stable, so lines with equal keys keep the order they had in the file.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const KeyedLine& a, const KeyedLine& b) { return a.key < b.key; });
  for (const KeyedLine& entry : entries) rewrite.temp.out().put(entry.line);
  if (kind == kAssignKind) rewrite.temp.out().put(".");
  return finish_rewrite(rewrite);
}

}  // namespace

int sort_file(const std::string& path, int capacity, int kind) {
  try {
    return sort_locked(path, capacity, kind);
  } catch (const std::bad_alloc&) {
    return kErrMemory;  // the target is untouched and the copy deleted
  }
}

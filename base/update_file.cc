#include <fcntl.h>

#include <cstdio>
#include <new>

#include "base/error.h"
#include "base/locked_file_io.h"

namespace {

// What one pass over the old lines found out.
struct InsertPass {
  int lines_read = 0;
  bool out_of_order = false;
};

InsertPass copy_with_insert(LockedRewrite& rewrite, std::string_view new_line, int kind) {
  const std::string new_key = sort_key(new_line, kind);
  InsertPass pass;
  bool inserted = false;
  std::string previous_key;
  std::string line;
  LineWriter& out = rewrite.temp.out();
  while (rewrite.in.next(line)) {
    ++pass.lines_read;
    if (is_assign_end_line(line, kind)) continue;
    std::string key = sort_key(line, kind);
    // Strictly greater: a new line follows the lines whose key equals its own.
    if (!inserted && key > new_key) {
      out.put(new_line);
      inserted = true;
    }
    if (previous_key > key) pass.out_of_order = true;
    previous_key = std::move(key);
    out.put(line);
  }
  if (!inserted) out.put(new_line);
  if (kind == kAssignKind) out.put(".");
  return pass;
}

// The locked part: copy the target with the new line in place. The lock is
// released on return, before any re-sort takes it again.
int insert_locked(const std::string& path, std::string_view line, int kind, InsertPass& pass) {
  try {
    LockedRewrite rewrite(path);
    if (int result = begin_rewrite(rewrite, O_RDWR); result != 0) return result;
    pass = copy_with_insert(rewrite, line, kind);
    return finish_rewrite(rewrite);
  } catch (const std::bad_alloc&) {
    return kErrMemory;
  }
}

}  // namespace

int update_file(const std::string& path, std::string_view line, int kind) {
  InsertPass pass;
  if (int result = insert_locked(path, line, kind, pass); result != 0) return result;
  if (pass.out_of_order) {
    fprintf(stderr, "NOTICE: Out of order entries found in %s\n   Sorting...\n\n", path.c_str());
    sort_file(path, pass.lines_read + 1, kind);
  }
  return 0;
}

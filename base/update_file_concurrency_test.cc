#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {

constexpr int kWriters = 8;
constexpr int kLinesEach = 100;

// Distinct assign entries whose keys interleave between the writers: every
// writer adds sub-domains under every parent, so inserts land all over the
// file rather than only at its end.
std::string entry(int writer, int n) {
  std::string parent = "d" + std::to_string(n % 10) + ".example.com";
  std::string name = "w" + std::to_string(writer) + "n" + std::to_string(n) + "." + parent;
  return "+" + name + "-:" + parent + ":89:89:/t/domains/" + parent + ":-::";
}

// Each writer inserts its lines once all writers have been started, and
// exits with the number of inserts that failed.
pid_t start_writer(int writer, const std::string& path, const int start_gate[2]) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  close(start_gate[1]);  // the gate opens when the parent's end closes
  char ignored;
  while (read(start_gate[0], &ignored, 1) > 0) {
  }
  int failures = 0;
  for (int n = 0; n < kLinesEach; ++n) {
    if (update_file(path, entry(writer, n), kAssignKind) != 0) ++failures;
  }
  _exit(std::min(failures, 100));
}

TEST(UpdateFileConcurrency, EightWritersLoseNoLineAndLeaveTheFileSorted) {
  // Short, frequent tries: under this much contention the production pause
  // of 2 seconds would make writers give up, which is not what is tested.
  set_lock_retry_policy({100000, std::chrono::milliseconds(1)});
  Sandbox box;
  std::string path = box.root() + "/assign";
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) writers.push_back(start_writer(w, path, gate));
  close(gate[0]);
  close(gate[1]);  // all writers start together
  for (pid_t pid : writers) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed inserts: " << status;
  }
  set_lock_retry_policy(LockRetryPolicy{});

  std::vector<std::string> lines = lines_of(read_file(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters * kLinesEach + 1));
  EXPECT_EQ(lines.back(), ".");
  lines.pop_back();
  std::vector<std::string> expected;
  for (int w = 0; w < kWriters; ++w) {
    for (int n = 0; n < kLinesEach; ++n) expected.push_back(entry(w, n));
  }
  std::multiset<std::string> found(lines.begin(), lines.end());
  EXPECT_EQ(found, std::multiset<std::string>(expected.begin(), expected.end()));
  EXPECT_TRUE(
      std::is_sorted(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return sort_key(a, kAssignKind) < sort_key(b, kAssignKind);
      }));
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(box.root())) {
    names.insert(e.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"assign", "assign.lock", "usr", "var", "www"}));
}

}  // namespace

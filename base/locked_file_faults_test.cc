// Failures the file system rarely produces on demand: a rename that fails,
// a mode that cannot be set, a write that runs out of room. This test
// program supplies its own rename and fchmod, which fail on request and
// otherwise do the real work; writes fail through a file size limit in a
// child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {

struct Faults {
  std::string rename_to;  // a rename onto this path fails
  bool fchmod = false;
};
Faults faults;

}  // namespace

extern "C" int rename(const char* from, const char* to) noexcept {
  if (!faults.rename_to.empty() && faults.rename_to == to) {
    errno = EXDEV;
    return -1;
  }
  return renameat(AT_FDCWD, from, AT_FDCWD, to);
}

extern "C" int fchmod(int fd, mode_t mode) noexcept {
  if (faults.fchmod) {
    errno = EPERM;
    return -1;
  }
  return static_cast<int>(syscall(SYS_fchmod, fd, mode));
}

namespace {


const std::set<std::string> kUntouched = {"list", "list.lock", "usr", "var", "www"};

class FaultTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = box_.root() + "/list";
    // Unsorted, so update_file would re-sort if its rewrite went through.
    contents_ = "1\n0\n" + std::string(6000, 'x') + "\n";
    write_file(path_, contents_);
  }
  void TearDown() override { faults = Faults{}; }

  void expect_untouched() {
    EXPECT_EQ(read_file(path_), contents_);
    EXPECT_EQ(names_in(box_.root()), kUntouched);
  }

  Sandbox box_;
  std::string path_;
  std::string contents_;
};

struct EditorCase {
  const char* name;
  std::function<int(const std::string& path)> edit;
  int code;
};

const std::vector<std::string> kZero = {"0"};

const EditorCase kCopyingEditors[] = {
    {"update_file", [](const std::string& p) { return update_file(p, "2", kHostListKind); }, -17},
    {"sort_file", [](const std::string& p) { return sort_file(p, 10, kHostListKind); }, -17},
    {"remove_lines", [](const std::string& p) { return remove_lines(p, kZero); }, -17},
};

TEST_F(FaultTest, FailedFinalRenameIsReportedAndTheCopyRemoved) {
  for (const EditorCase& c : kCopyingEditors) {
    SCOPED_TRACE(c.name);
    faults.rename_to = path_;
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.edit(path_), c.code);
    // The page says only "Could not update file": the error log names it.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "could not replace " + path_ + ": Invalid cross-device link\n");
    expect_untouched();
  }
}

// Runs the edit in a child whose files may not grow past 1000 bytes, so
// writing the new contents fails; returns the edit's result.
int edit_with_full_disk(const std::function<int(const std::string&)>& edit,
                        const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(-edit(path));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? -WEXITSTATUS(status) : 1;
}

TEST_F(FaultTest, FailedWriteIsReportedAndTheTargetKept) {
  std::vector<EditorCase> cases(std::begin(kCopyingEditors), std::end(kCopyingEditors));
  cases.push_back({"remove_prefix_lines",
                   [](const std::string& p) { return remove_prefix_lines("0", p, 0644, true); },
                   -1});
  for (const EditorCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(edit_with_full_disk(c.edit, path_), c.code);
    expect_untouched();
  }
}

TEST_F(FaultTest, RemovePrefixLinesPutsTheOriginalBackOnEveryFailure) {
  struct stat old;
  ASSERT_EQ(stat(path_.c_str(), &old), 0);
  struct FailureCase {
    const char* name;
    Faults faults;
    std::string message;
  };
  const std::vector<FailureCase> cases = {
      {"target cannot be moved aside",
       {path_ + ".bak", false},
       "rename " + path_ + "->" + path_ + ".bak: Invalid cross-device link\n"},
      {"mode cannot be set",
       {"", true},
       "chmod(" + path_ + ", " + std::to_string(old.st_uid) + ", " + std::to_string(old.st_gid) +
           ", 644): Operation not permitted\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    faults = c.faults;
    testing::internal::CaptureStderr();
    EXPECT_EQ(remove_prefix_lines("0", path_, 0644, true), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    faults = Faults{};
    expect_untouched();
  }
}

}  // namespace

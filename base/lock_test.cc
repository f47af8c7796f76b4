#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {

using std::chrono::milliseconds;

const std::string kBusy = "File busy try again later!\n";


bool child_takes_lock(const std::string& path, short type) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  return fd >= 0 && fcntl(fd, F_SETLK, &region) == 0;
}

// Another process holding a record lock on a file: it takes the lock before
// the constructor returns and keeps it until the destructor, or until
// release_after has passed when one is given.
class LockHolder {
 public:
  LockHolder(const std::string& path, short type, milliseconds release_after = milliseconds(-1)) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      char taken = child_takes_lock(path, type) ? 'y' : 'n';
      if (write(ready[1], &taken, 1) != 1) _exit(2);
      if (release_after.count() >= 0) {
        usleep(static_cast<useconds_t>(release_after.count()) * 1000);
      } else {
        char ignored;
        while (read(release[0], &ignored, 1) > 0) {
        }
      }
      _exit(0);  // the lock ends with the process
    }
    close(ready[1]);
    close(release[0]);
    release_fd_ = release[1];
    char taken = 'n';
    if (read(ready[0], &taken, 1) != 1) taken = 'n';
    close(ready[0]);
    held_ = taken == 'y';
  }
  ~LockHolder() {
    close(release_fd_);
    waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool held_ = false;
};

bool other_process_can_lock(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) _exit(child_takes_lock(path, F_WRLCK) ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class LockTest : public testing::Test {
 protected:
  void TearDown() override { set_lock_retry_policy(LockRetryPolicy{}); }
  // A few quick tries, so contention cases need not wait 18 seconds each.
  void use_quick_retries() { set_lock_retry_policy({3, milliseconds(10)}); }
};

// The one case that waits the real 10 tries 2 seconds apart.
TEST_F(LockTest, BusyFileMakesUpdateFileGiveUpAfterItsTriesWithOneMessage) {
  Sandbox box;
  std::string path = box.root() + "/assign";
  write_file(path, "+a.org-:a\n.\n");
  LockHolder holder(path + ".lock", F_WRLCK);
  ASSERT_TRUE(holder.held());
  auto started = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(update_file(path, "+b.org-:b", kAssignKind), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kBusy);
  auto waited =
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
  RecordProperty("waited_ms", std::to_string(waited.count()));
  EXPECT_EQ(read_file(path), "+a.org-:a\n.\n");
  EXPECT_EQ(names_in(box.root()),
            (std::set<std::string>{"assign", "assign.lock", "usr", "var", "www"}));
}

struct EditorCase {
  const char* name;
  std::function<int(const std::string& path)> edit;
};

TEST_F(LockTest, BusyFileMakesEveryEditorGiveUpAndLeaveTheFileAlone) {
  const std::vector<std::string> gone = {"0"};
  const EditorCase cases[] = {
      {"update_file", [](const std::string& p) { return update_file(p, "2", kHostListKind); }},
      {"sort_file", [](const std::string& p) { return sort_file(p, 10, kHostListKind); }},
      {"remove_lines", [&](const std::string& p) { return remove_lines(p, gone); }},
      {"remove_prefix_lines",
       [](const std::string& p) { return remove_prefix_lines("0", p, 0644, true); }},
  };
  use_quick_retries();
  for (const EditorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/list";
    write_file(path, "1\n0\n");
    LockHolder holder(path + ".lock", F_WRLCK);
    ASSERT_TRUE(holder.held());
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.edit(path), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kBusy);
    EXPECT_EQ(read_file(path), "1\n0\n");
    EXPECT_EQ(names_in(box.root()),
              (std::set<std::string>{"list", "list.lock", "usr", "var", "www"}));
  }
}

TEST_F(LockTest, LockReleasedWhileWaitingIsTaken) {
  set_lock_retry_policy({400, milliseconds(25)});
  Sandbox box;
  std::string path = box.root() + "/rcpthosts";
  write_file(path, "a.org\n");
  LockHolder holder(path + ".lock", F_WRLCK, milliseconds(200));
  ASSERT_TRUE(holder.held());
  testing::internal::CaptureStderr();
  EXPECT_EQ(update_file(path, "b.org", kHostListKind), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(read_file(path), "a.org\nb.org\n");
}

struct SharingCase {
  const char* name;
  short held;
  int (*take)(int fd);
  int result;
  std::string message;
};

TEST_F(LockTest, ReadLocksShareAndWriteLocksExclude) {
  const SharingCase cases[] = {
      {"read beside read", F_RDLCK, get_read_lock, 0, ""},
      {"write beside read", F_RDLCK, get_write_lock, -1, kBusy},
      {"read beside write", F_WRLCK, get_read_lock, -1, kBusy},
      {"write beside write", F_WRLCK, get_write_lock, -1, kBusy},
  };
  use_quick_retries();
  for (const SharingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/file.lock";
    LockHolder holder(path, c.held);
    ASSERT_TRUE(holder.held());
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.take(fd), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    close(fd);
  }
}

struct DescriptorCase {
  const char* name;
  int flags;  // -1: a descriptor that is not open
  int (*take)(int fd);
  int result;
};

TEST_F(LockTest, DescriptorThatCannotBeLockedFailsAtOnceWithoutAMessage) {
  const DescriptorCase cases[] = {
      {"write lock on a read-only descriptor", O_RDONLY, get_write_lock, -2},
      {"read lock on a write-only descriptor", O_WRONLY, get_read_lock, -2},
      {"write lock on a closed descriptor", -1, get_write_lock, -2},
      {"write lock on a write-only descriptor", O_WRONLY, get_write_lock, 0},
      {"read lock on a read-only descriptor", O_RDONLY, get_read_lock, 0},
  };
  use_quick_retries();
  for (const DescriptorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/file.lock";
    write_file(path, "");
    int fd = c.flags < 0 ? -1 : open(path.c_str(), c.flags);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.take(fd), c.result);
    // Taking such a failure for a busy file would retry and then print.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (fd >= 0) {
      EXPECT_EQ(unlock_file(fd), 0);
      close(fd);
    }
  }
  EXPECT_EQ(unlock_file(-1), -1);
}

TEST_F(LockTest, FileLockHoldsTheLockUntilReleased) {
  Sandbox box;
  std::string path = box.root() + "/tpasswd.lock";
  {
    FileLock lock;
    ASSERT_EQ(lock.lock(path), 0);
    EXPECT_TRUE(lock.held());
    EXPECT_FALSE(other_process_can_lock(path));
    lock.unlock();
    EXPECT_FALSE(lock.held());
    EXPECT_TRUE(other_process_can_lock(path));
    ASSERT_EQ(lock.lock(path), 0);
    EXPECT_FALSE(other_process_can_lock(path));
  }
  EXPECT_TRUE(other_process_can_lock(path));
  EXPECT_TRUE(file_exists(path));  // lock files are never removed
  FileLock nowhere;
  EXPECT_EQ(nowhere.lock(box.root() + "/missing/dir/x.lock"), -17);
  EXPECT_FALSE(nowhere.held());
}

}  // namespace

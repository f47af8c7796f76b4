#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "base/error.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"

namespace {

// The lock's retry policy, the one piece of process-wide state of the
// locked line files.
struct LockState {
  LockRetryPolicy retry;
};

LockState& lock_state() {
  static LockState state;
  return state;
}

bool set_record_lock(int fd, short type) {
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  region.l_start = 0;
  region.l_len = 0;  // to the end of the file, however far it grows
  return fcntl(fd, F_SETLK, &region) == 0;
}

// Another process holding the lock shows as one of these; anything else
// (a bad descriptor, a descriptor opened for the wrong access) will not go
// away by waiting.
bool lock_is_busy(int error) { return error == EAGAIN || error == EACCES || error == ENOLCK; }

int lock_with_retries(int fd, short type) {
  const LockRetryPolicy& retry = lock_state().retry;
  for (int attempt = 1;; ++attempt) {
    if (set_record_lock(fd, type)) return 0;
    if (!lock_is_busy(errno)) return -2;
    if (attempt >= retry.attempts) break;
    std::this_thread::sleep_for(retry.pause);
  }
  fputs("File busy try again later!\n", stderr);
  return -1;
}

}  // namespace

int get_write_lock(int fd) { return lock_with_retries(fd, F_WRLCK); }

int get_read_lock(int fd) { return lock_with_retries(fd, F_RDLCK); }

int unlock_file(int fd) { return set_record_lock(fd, F_UNLCK) ? 0 : -1; }

std::string lock_file_path(std::string_view target) { return std::string(target) + ".lock"; }

bool is_store_control_file(std::string_view name) {
  return name == kRcpthostsName || name == kMoreRcpthostsName || name == kVirtualDomainsName ||
         name == kLocalsName;
}

// Lock files sit beside the files they guard, in directories that others
// may write: a link planted at the name is a failure to lock, never a file
// created or opened where it points.
int open_lock_file(const std::string& lock_path) {
  return open_no_link(lock_path, O_WRONLY | O_CREAT, 0600);
}

int FileLock::lock(const std::string& lock_path) {
  unlock();
  int fd = open_lock_file(lock_path);
  if (fd < 0) return kErrUpdateFile;
  if (get_write_lock(fd) != 0) {
    close(fd);
    return -1;
  }
  fd_ = fd;
  return 0;
}

namespace {

void wake_lock_wait(int) {}

// F_SETLKW with a deadline: an alarm interrupts the wait (no restart), and
// the caller's alarm and handler are put back afterwards.
bool wait_for_write_lock(int fd, std::chrono::seconds limit) {
  struct sigaction wake {}, saved {};
  wake.sa_handler = wake_lock_wait;
  sigemptyset(&wake.sa_mask);
  sigaction(SIGALRM, &wake, &saved);
  unsigned pending = alarm(static_cast<unsigned>(limit.count()));
  struct flock region {};
  region.l_type = F_WRLCK;
  region.l_whence = SEEK_SET;
  int result = fcntl(fd, F_SETLKW, &region);
  int saved_errno = errno;
  alarm(0);
  sigaction(SIGALRM, &saved, nullptr);
  if (pending != 0) alarm(pending);
  errno = saved_errno;
  return result == 0;
}

}  // namespace

int FileLock::lock_waiting(const std::string& lock_path, std::chrono::seconds limit) {
  unlock();
  int fd = open_lock_file(lock_path);
  if (fd < 0) return kErrUpdateFile;
  if (!wait_for_write_lock(fd, limit)) {
    if (errno == EINTR) fputs("File busy try again later!\n", stderr);
    close(fd);
    return -1;
  }
  fd_ = fd;
  return 0;
}

bool FileLock::give_owner(uid_t uid, gid_t gid) {
  struct stat mine;
  if (fd_ < 0 || fstat(fd_, &mine) != 0) return false;
  if (mine.st_uid == uid && mine.st_gid == gid) return true;
  return fchown(fd_, uid, gid) == 0;
}

void FileLock::unlock() {
  if (fd_ < 0) return;
  unlock_file(fd_);
  close(fd_);
  fd_ = -1;
}

void set_lock_retry_policy(const LockRetryPolicy& policy) { lock_state().retry = policy; }

#include "base/locked_file_io.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/error.h"
#include "base/fd_guard.h"

LineReader::~LineReader() {
  if (file_ != nullptr) fclose(file_);
  free(buffer_);
}

bool LineReader::open(const std::string& path, int flags, bool missing_is_empty) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return missing_is_empty && errno == ENOENT;
  file_ = stream_or_close(fd, (flags & O_ACCMODE) == O_RDONLY ? "r" : "r+");
  return file_ != nullptr;
}

bool LineReader::next(std::string& line) {
  if (file_ == nullptr) return false;
  // getline grows its buffer to fit the whole line, so no line is ever cut
  // into pieces and embedded NUL bytes are kept.
  ssize_t length = getline(&buffer_, &capacity_, file_);
  if (length < 0) {
    // Anything but the end of the file (a read error, no memory for a long
    // line) means the lines seen so far are not the whole file.
    failed_ = ferror(file_) != 0 || feof(file_) == 0;
    return false;
  }
  if (length > 0 && buffer_[length - 1] == '\n') --length;
  line.assign(buffer_, static_cast<size_t>(length));
  return true;
}

int begin_rewrite(LockedRewrite& rewrite, int target_flags) {
  std::string lock_path = lock_file_path(rewrite.path);
  int locked = rewrite.lock.lock(lock_path);
  if (locked == kErrUpdateFile) {
    fprintf(stderr, "could not open lock file %s\n", lock_path.c_str());
    return kErrUpdateFile;
  }
  if (locked != 0) return -1;
  if (!rewrite.temp.create()) return kErrUpdateFile;
  if (!rewrite.in.open(rewrite.path, target_flags, true)) return kErrUpdateFile;
  return 0;
}

int finish_rewrite(LockedRewrite& rewrite) {
  // A read error would otherwise pass for the end of the file and the
  // rename would replace the target with a truncated copy.
  if (rewrite.in.failed()) return kErrUpdateFile;
  return rewrite.temp.replace(rewrite.path);
}

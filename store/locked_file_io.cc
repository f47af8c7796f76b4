#include "store/locked_file_io.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "store/error.h"

namespace {

// A stream over fd, or nullptr with fd closed and errno kept: the caller
// owns exactly one of the two afterwards, never both and never neither.
FILE* stream_or_close(int fd, const char* mode) {
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return file;
}

}  // namespace

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

LineWriter::~LineWriter() {
  if (file_ != nullptr) fclose(file_);
}

bool LineWriter::adopt(int fd) {
  file_ = stream_or_close(fd, "w");
  return file_ != nullptr;
}

void LineWriter::put(std::string_view line) {
  if (file_ == nullptr || failed_) return;
  if (fwrite(line.data(), 1, line.size(), file_) != line.size() || fputc('\n', file_) == EOF) {
    failed_ = true;
  }
}

bool LineWriter::finish() {
  if (file_ == nullptr) return false;
  bool ok = !failed_ && fflush(file_) == 0 && ferror(file_) == 0 && fsync(fileno(file_)) == 0;
  // fclose reports a late write error too; the stream is gone either way.
  ok = fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

TempFile::TempFile(std::string_view target)
    : path_(std::string(target) + "." + std::to_string(static_cast<unsigned long>(getpid()))) {}

TempFile::~TempFile() {
  if (created_) unlink(path_.c_str());
}

bool TempFile::create() {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  created_ = true;
  return out_.adopt(fd);
}

int TempFile::replace(const std::string& target) {
  if (!created_ || !out_.finish()) return kErrUpdateFile;
  if (rename(path_.c_str(), target.c_str()) != 0) return kErrUpdateFile;
  created_ = false;
  return 0;
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

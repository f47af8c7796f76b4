#include "base/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/fd_guard.h"

LineWriter::~LineWriter() {
  if (file_ != nullptr) fclose(file_);
}

bool LineWriter::adopt(int fd) {
  file_ = stream_or_close(fd, "w");
  return file_ != nullptr;
}

void LineWriter::write(std::string_view text) {
  if (file_ == nullptr || failed_) return;
  if (fwrite(text.data(), 1, text.size(), file_) != text.size()) failed_ = true;
}

void LineWriter::put(std::string_view line) {
  write(line);
  if (file_ != nullptr && !failed_ && fputc('\n', file_) == EOF) failed_ = true;
}

bool LineWriter::finish() {
  if (file_ == nullptr) return false;
  bool ok = !failed_ && fflush(file_) == 0 && ferror(file_) == 0 && fsync(fileno(file_)) == 0;
  // fclose reports a late write error too; the stream is gone either way.
  ok = fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

std::string temp_name_for(std::string_view target) {
  return std::string(target) + "." + std::to_string(static_cast<unsigned long>(getpid()));
}

TempFile::~TempFile() {
  if (created_) unlink(path_.c_str());
}

bool TempFile::create(mode_t mode) {
  unlink(path_.c_str());
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    // The page only says "Could not update file": the error log names it.
    fprintf(stderr, "could not create %s: %s\n", path_.c_str(), strerror(errno));
    return false;
  }
  created_ = true;
  return out_.adopt(fd);
}

bool TempFile::give_owner(uid_t uid, gid_t gid, bool required) {
  struct stat mine;
  int fd = out_.fd();
  if (fd < 0 || fstat(fd, &mine) != 0) return false;
  if (mine.st_uid == uid && mine.st_gid == gid) return true;
  return fchown(fd, uid, gid) == 0 || !required;
}

bool TempFile::set_mode(mode_t mode) {
  int fd = out_.fd();
  return fd >= 0 && fchmod(fd, mode) == 0;
}

int TempFile::replace(const std::string& target) {
  if (!created_) return kErrUpdateFile;
  bool moved = out_.finish() && rename(path_.c_str(), target.c_str()) == 0;
  if (!moved) {
    fprintf(stderr, "could not replace %s: %s\n", target.c_str(), strerror(errno));
    unlink(path_.c_str());
  }
  created_ = false;
  return moved ? 0 : kErrUpdateFile;
}

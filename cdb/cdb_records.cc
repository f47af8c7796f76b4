#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "base/fd_guard.h"
#include "base/safe_path.h"
#include "cdb/cdb.h"

namespace {

uint32_t number_at(const std::string& bytes, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool read_whole(int fd, std::string& bytes) {
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  bytes.resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t got = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

int cdb_records(int fd, const cdb_record_visitor& each) {
  std::string bytes;
  if (!read_whole(fd, bytes) || bytes.size() < kCdbHeaderSize) return -1;
  // Tables are written after the last record, so the lowest table
  // position is where the records end.
  uint64_t end = bytes.size();
  for (size_t table = 0; table < 256; ++table) end = std::min<uint64_t>(end, number_at(bytes, table * 8));
  if (end < kCdbHeaderSize) return -1;
  for (uint64_t at = kCdbHeaderSize; at < end;) {
    if (at + 8 > end) return -1;
    uint64_t key_length = number_at(bytes, at);
    uint64_t value_length = number_at(bytes, at + 4);
    if (at + 8 + key_length + value_length > end) return -1;
    std::string_view key(bytes.data() + at + 8, key_length);
    std::string_view value(bytes.data() + at + 8 + key_length, value_length);
    if (!each(key, value)) return 0;
    at += 8 + key_length + value_length;
  }
  return 0;
}

int cdb_file_records(const std::string& path, const cdb_record_visitor& each) {
  int fd = open_regular(path, false);
  if (fd < 0) return -1;
  FdGuard guard(fd);
  return cdb_records(fd, each);
}

// cdb_lookup: one key, read straight from the descriptor with pread, so a
// probe costs one system call; the file position is set once, at the end,
// where the caller expects the value.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cdb/cdb.h"

namespace {

constexpr uint64_t kPositionLimit = uint64_t{1} << 32;
constexpr size_t kComparePiece = 32;

uint32_t unpack(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Reads exactly `length` bytes at `offset`. An interrupted read is retried;
// an early end of file counts as a failure with errno EIO.
bool read_at(int fd, void* buffer, size_t length, uint64_t offset) {
  char* out = static_cast<char*>(buffer);
  while (length > 0) {
    ssize_t n = pread(fd, out, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    out += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool read_pair(int fd, uint64_t offset, uint32_t* first, uint32_t* second) {
  unsigned char pair[8];
  if (!read_at(fd, pair, sizeof pair, offset)) return false;
  *first = unpack(pair);
  *second = unpack(pair + 4);
  return true;
}

// Reads between `least` and `most` bytes at `offset`: a short file is fine
// as long as the first `least` bytes are there. The count read, or -1.
ssize_t read_between(int fd, unsigned char* buffer, size_t least, size_t most, uint64_t offset) {
  size_t got = 0;
  while (got < least) {
    ssize_t n = pread(fd, buffer + got, most - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Compares the stored key at `offset` with the sought one, at most 32 bytes
// per read. 1 equal, 0 different, -1 read failure.
int key_matches(int fd, uint64_t offset, const char* key, size_t length) {
  unsigned char piece[kComparePiece];
  while (length > 0) {
    size_t n = length < kComparePiece ? length : kComparePiece;
    if (!read_at(fd, piece, n, offset)) return -1;
    if (std::memcmp(piece, key, n) != 0) return 0;
    key += n;
    offset += n;
    length -= n;
  }
  return 1;
}

int fail_damaged() {
  errno = EIO;
  return -1;
}

// The record at `record` holds the sought key: checks that its value fits
// the format's positions and the file, so no caller sizes a buffer from a
// damaged length, and leaves the file position at its value.
int found(int fd, uint64_t record, uint32_t key_length, uint32_t data_length,
          uint32_t* value_length) {
  uint64_t value = record + 8 + key_length;
  if (value + data_length > kPositionLimit) return fail_damaged();
  struct stat status;
  if (fstat(fd, &status) != 0) return -1;
  if (value + data_length > static_cast<uint64_t>(status.st_size)) return fail_damaged();
  if (lseek(fd, static_cast<off_t>(value), SEEK_SET) < 0) return -1;
  *value_length = data_length;
  return 1;
}

// The record at `record`, whose slot carries the sought hash: 1 when it
// holds the key (position left at its value), 0 when not, -1 on failure.
// Its lengths and the first key piece come in one read, as a probe that
// finds its key is the common case; a key of another length is passed over
// without comparing its bytes.
int record_matches(int fd, uint32_t record, const char* key, size_t key_length,
                   uint32_t* value_length) {
  unsigned char head[8 + kComparePiece];
  size_t first = key_length < kComparePiece ? key_length : kComparePiece;
  ssize_t got = read_between(fd, head, 8, 8 + first, record);
  if (got < 0) return -1;
  uint32_t stored_length = unpack(head);
  uint32_t data_length = unpack(head + 4);
  if (stored_length != key_length) return 0;
  size_t have = static_cast<size_t>(got) - 8;
  if (have < first && !read_at(fd, head + 8 + have, first - have, uint64_t{record} + 8 + have)) {
    return -1;
  }
  // An empty key may come as a null pointer, which memcmp must never see.
  if (first > 0 && std::memcmp(head + 8, key, first) != 0) return 0;
  int rest = key_matches(fd, uint64_t{record} + 8 + first, key + first, key_length - first);
  if (rest != 1) return rest;
  return found(fd, record, stored_length, data_length, value_length);
}

}  // namespace

int cdb_lookup(int fd, const char* key, size_t key_length, uint32_t* value_length) {
  // No record can hold a key the 32-bit length field cannot describe.
  if (key_length > UINT32_MAX) return 0;
  uint32_t h = cdb_hash(key, key_length);
  uint32_t table = 0, slots = 0;
  if (!read_pair(fd, (h & 0xff) * 8, &table, &slots)) return -1;
  if (slots == 0) return 0;
  // A table that would run past 4 GiB is damage, not data; refusing it
  // keeps the probe positions below from wrapping around.
  if (table + uint64_t{slots} * 8 > kPositionLimit) return fail_damaged();

  uint32_t slot = (h >> 8) % slots;
  for (uint32_t probe = 0; probe < slots; ++probe) {
    uint32_t stored_hash = 0, record = 0;
    if (!read_pair(fd, table + uint64_t{slot} * 8, &stored_hash, &record)) return -1;
    if (record == 0) return 0;
    if (stored_hash == h) {
      int match = record_matches(fd, record, key, key_length, value_length);
      if (match != 0) return match;
    }
    if (++slot == slots) slot = 0;
  }
  return 0;
}

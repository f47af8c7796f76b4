// The cdb writer: records are streamed through one output buffer while only
// (hash, position) pairs stay in memory; the tables follow the records and
// the header is written last, over a placeholder, before the rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cdb/cdb.h"

namespace {

constexpr uint64_t kLastPosition = 0xffffffffu;
constexpr uint64_t kMaxCells = 0x1fffffff;
constexpr size_t kOutBuffer = size_t{1} << 17;

void pack(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

bool write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The temporary file: one descriptor behind one write buffer. Closes the
// descriptor on every early return of the build.
class OutFile {
 public:
  ~OutFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Created or truncated, mode 0600 whatever the caller's mask: the mask
  // is 077 just for the open.
  bool open(const std::string& path) {
    buffer_.reset(new (std::nothrow) char[kOutBuffer]);
    if (!buffer_) return false;
    mode_t old_mask = umask(077);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    umask(old_mask);
    return fd_ >= 0;
  }

  // Appends bytes; false when a write they caused failed.
  bool put(const void* data, size_t length) {
    if (length <= kOutBuffer - used_) {
      std::memcpy(buffer_.get() + used_, data, length);
      used_ += length;
      return true;
    }
    if (!flush()) return false;
    if (length >= kOutBuffer) return write_all(fd_, static_cast<const char*>(data), length);
    std::memcpy(buffer_.get(), data, length);
    used_ = length;
    return true;
  }

  bool flush() {
    size_t pending = used_;
    used_ = 0;
    return write_all(fd_, buffer_.get(), pending);
  }

  bool write_at_start(const unsigned char* data, size_t length) {
    if (lseek(fd_, 0, SEEK_SET) != 0) return false;
    return write_all(fd_, reinterpret_cast<const char*>(data), length);
  }

  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

int fail(const char* message) {
  std::fputs(message, stderr);
  return -1;
}

void free_writer(cdb_writer* writer) {
  while (writer->blocks != nullptr) {
    cdb_entry_block* next = writer->blocks->next;
    delete writer->blocks;
    writer->blocks = next;
  }
  std::free(writer->sorted);
  writer->sorted = nullptr;
  writer->slots = nullptr;
}

// Step 3 of the build: every pair as a record, its entry remembered.
int write_records(const cdb_source& source, OutFile& out, cdb_writer& writer,
                  uint32_t* position) {
  for (;;) {
    std::string_view key, value;
    int more = source(key, value);
    if (more < 0) return -1;
    if (more == 0) return 0;
    // Checked before anything is written: a length that does not fit in
    // 32 bits could not even be stored in the record's length fields.
    uint32_t next = 0;
    if (!cdb_position_advance(*position, uint64_t{8} + key.size() + value.size(), &next)) {
      return fail("Error: too much data\n");
    }
    unsigned char lengths[8];
    pack(lengths, static_cast<uint32_t>(key.size()));
    pack(lengths + 4, static_cast<uint32_t>(value.size()));
    if (!out.put(lengths, sizeof lengths)) return fail("Error: error writing temp file\n");
    if (!out.put(key.data(), key.size())) return fail("Error: error temp file\n");
    if (!out.put(value.data(), value.size())) return fail("Error: write error temp file");
    if (!cdb_writer_add(&writer, cdb_hash(key.data(), key.size()), *position)) {
      return fail("Error: out of memory\n");
    }
    *position = next;
  }
}

// Step 5: the 256 tables, each right after the one before.
int write_tables(OutFile& out, cdb_writer& writer, uint32_t* position) {
  for (int table = 0; table < 256; ++table) {
    uint32_t slots = cdb_writer_table(&writer, *position, table);
    if (slots == 0) continue;
    uint32_t next = 0;
    if (!cdb_position_advance(*position, uint64_t{8} * slots, &next)) {
      return fail("Error 12: too much data\n");
    }
    for (uint32_t i = 0; i < slots; ++i) {
      unsigned char cell[8];
      pack(cell, writer.slots[i].hash);
      pack(cell + 4, writer.slots[i].position);
      if (!out.put(cell, sizeof cell)) return fail("Error 1: error temp file\n");
    }
    *position = next;
  }
  return 0;
}

}  // namespace

cdb_writer::~cdb_writer() { free_writer(this); }

void cdb_writer_init(cdb_writer* writer) {
  free_writer(writer);
  std::memset(writer->count, 0, sizeof writer->count);
  std::memset(writer->start, 0, sizeof writer->start);
  writer->entries = 0;
}

bool cdb_writer_add(cdb_writer* writer, uint32_t hash, uint32_t position) {
  cdb_entry_block* block = writer->blocks;
  if (block == nullptr || block->fill == kCdbBlockEntries) {
    block = new (std::nothrow) cdb_entry_block;
    if (block == nullptr) return false;
    block->next = writer->blocks;
    block->fill = 0;
    writer->blocks = block;
  }
  block->entries[block->fill++] = cdb_entry{hash, position};
  ++writer->entries;
  return true;
}

bool cdb_writer_sort(cdb_writer* writer) {
  std::memset(writer->count, 0, sizeof writer->count);
  for (const cdb_entry_block* b = writer->blocks; b != nullptr; b = b->next) {
    for (uint32_t i = 0; i < b->fill; ++i) ++writer->count[b->entries[i].hash & 0xff];
  }
  uint64_t widest = 1;
  for (uint32_t n : writer->count) {
    if (uint64_t{2} * n > widest) widest = uint64_t{2} * n;
  }
  uint64_t cells = uint64_t{writer->entries} + widest;
  if (cells > kMaxCells) return false;
  std::free(writer->sorted);
  writer->sorted = static_cast<cdb_entry*>(std::malloc(cells * sizeof(cdb_entry)));
  if (writer->sorted == nullptr) return false;
  writer->slots = writer->sorted + writer->entries;

  uint32_t running = 0;
  for (int i = 0; i < 256; ++i) {
    running += writer->count[i];
    writer->start[i] = running;
  }
  // Newest block first and each block from its end: filling every table
  // from its back leaves its entries in the order they were added.
  for (const cdb_entry_block* b = writer->blocks; b != nullptr; b = b->next) {
    for (uint32_t i = b->fill; i-- > 0;) {
      const cdb_entry& e = b->entries[i];
      writer->sorted[--writer->start[e.hash & 0xff]] = e;
    }
  }
  return true;
}

uint32_t cdb_writer_table(cdb_writer* writer, uint32_t position, int table) {
  uint32_t entries = writer->count[table];
  uint32_t slots = entries * 2;
  pack(writer->header + table * 8, position);
  pack(writer->header + table * 8 + 4, slots);
  if (entries == 0) return 0;
  std::memset(writer->slots, 0, slots * sizeof(cdb_entry));
  const cdb_entry* e = writer->sorted + writer->start[table];
  for (uint32_t i = 0; i < entries; ++i, ++e) {
    uint32_t at = (e->hash >> 8) % slots;
    while (writer->slots[at].position != 0) {
      if (++at == slots) at = 0;
    }
    writer->slots[at] = *e;
  }
  return slots;
}

bool cdb_position_advance(uint32_t position, uint64_t extra, uint32_t* next) {
  if (extra > kLastPosition - position) return false;
  *next = static_cast<uint32_t>(position + extra);
  return true;
}

int cdb_build(const cdb_source& source, const std::string& temp_path,
              const std::string& final_path) {
  OutFile out;
  if (!out.open(temp_path)) return fail("Error: could not create/open temporary file\n");
  // Placeholder for the header, which is known only at the end.
  unsigned char blank[kCdbHeaderSize];
  std::memset(blank, ' ', sizeof blank);
  if (!out.put(blank, sizeof blank)) return fail("Error:error writing temp file\n");

  cdb_writer writer;
  uint32_t position = kCdbHeaderSize;
  if (write_records(source, out, writer, &position) < 0) return -1;
  if (!cdb_writer_sort(&writer)) return fail("Error: out of memory\n");
  if (write_tables(out, writer, &position) < 0) return -1;

  if (!out.flush()) return fail("Error 20: write error temp file\n");
  if (!out.write_at_start(writer.header, kCdbHeaderSize)) {
    return fail("Error 21: write error temp file\n");
  }
  if (!out.flush()) return fail("Error 22: write error temp file\n");
  if (!out.close()) return fail("Error 24: error with close()\n");
  if (std::rename(temp_path.c_str(), final_path.c_str()) != 0) {
    return fail("Error 25: could not rename cdb.tmp to tpasswd.cdb\n");
  }
  return 0;
}

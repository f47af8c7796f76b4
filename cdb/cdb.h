// Constant databases: read-only hash tables on disk in the classic cdb
// layout, as qmail's users/cdb and each domain's tpasswd.cdb use them.
//
// Layout (every number a little-endian unsigned 32-bit value, every
// position a byte offset from the start of the file):
//   header   2048 bytes: 256 descriptors (table position, slot count)
//   records  from 2048, back to back: key length, value length, key, value
//   tables   after the last record, tables 0..255 in order; each slot is
//            (key hash, record position); position 0 marks an empty slot
// A key lives in table hash % 256; its probe starts at slot
// (hash >> 8) % slots and walks forward, wrapping at the end. A table of
// n records has 2n slots. Keys may repeat: the record added first wins.
//
// Reading: cdb_lookup. Every number taken from the file is checked before
// use, so a damaged file can only give 0, -1 or a wrong record: never a
// crash, and never more probes than the table's own slot count (a table
// that cannot fit in 32-bit positions is refused outright).
//
// Writing: cdb_build streams the records into a temporary file, lays out
// the tables, writes the header last and renames the file into place. The
// database is never changed in place, so readers see the old file or the
// new one, nothing in between. cdb_writer and its four steps are exposed
// for tests and for callers that stream records themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// ---- hashing ----------------------------------------------------------

inline constexpr uint32_t kCdbHashStart = 5381;

// One step of the key hash: ((h << 5) + h) ^ byte, in 32-bit arithmetic.
inline constexpr uint32_t cdb_hash_add(uint32_t h, unsigned char byte) {
  return ((h << 5) + h) ^ byte;
}

// The hash of a whole key; the empty key hashes to 5381.
uint32_t cdb_hash(const void* bytes, size_t length);

// ---- reading ----------------------------------------------------------

// Looks a key up in the database open (readable, seekable) on fd.
// Returns 1 when found: *value_length holds the value's length and the
// descriptor's file position is at the value's first byte, so the caller
// reads exactly that many bytes next. Returns 0 when the key is absent and
// -1 on a failed seek or read, or when the file ends early or holds a
// table or record that cannot fit in 32-bit positions, or a found value
// that runs past the end of the file (errno EIO for those). On 0 or -1
// the file position is unspecified. Prints nothing.
// Reads with pread and needs no memory beyond a 40-byte buffer: a probe
// whose hash matches reads the record's lengths together with the first
// 32 key bytes, and longer keys are compared 32 bytes at a time.
int cdb_lookup(int fd, const char* key, size_t key_length, uint32_t* value_length);

// ---- writing ----------------------------------------------------------

inline constexpr size_t kCdbHeaderSize = 2048;
inline constexpr uint32_t kCdbBlockEntries = 1000;

// One table entry as the writer keeps it: the key's hash and its record.
struct cdb_entry {
  uint32_t hash;
  uint32_t position;
};

// Entries are kept in blocks that never move once filled, newest first.
struct cdb_entry_block {
  cdb_entry entries[kCdbBlockEntries];
  cdb_entry_block* next;
  uint32_t fill;
};

// Everything the writer keeps in memory while a file is built: 8 bytes per
// record plus, after the sort, one array of (entries + largest table's
// slots) cells. Owns its blocks and array and frees them when destroyed.
struct cdb_writer {
  unsigned char header[kCdbHeaderSize] = {};
  uint32_t count[256] = {};            // entries per table
  uint32_t start[256] = {};            // after the sort: first index of each table
  cdb_entry_block* blocks = nullptr;   // newest first
  cdb_entry* sorted = nullptr;         // entries grouped by table, in added order
  cdb_entry* slots = nullptr;          // one table's slots, just after sorted
  uint32_t entries = 0;                // total entries added

  cdb_writer() = default;
  ~cdb_writer();
  cdb_writer(const cdb_writer&) = delete;
  cdb_writer& operator=(const cdb_writer&) = delete;
};

// Empties the writer: no blocks, no array, no entries (frees what it held).
void cdb_writer_init(cdb_writer* writer);

// Remembers one record. false when a new block cannot be allocated.
bool cdb_writer_add(cdb_writer* writer, uint32_t hash, uint32_t position);

// Groups the entries by table, each table in the order its entries were
// added. false when the array would pass 0x1fffffff cells or cannot be
// allocated.
bool cdb_writer_sort(cdb_writer* writer);

// For table `table` (0..255) written at `position`: stores its descriptor
// (position, 2n) in the header image and lays its 2n slots out in
// writer->slots. Returns the slot count 2n (0 for a table without
// entries, whose descriptor is (position, 0)).
uint32_t cdb_writer_table(cdb_writer* writer, uint32_t position, int table);

// Adds `extra` bytes to a file position. false when the result would not
// fit in the 32-bit positions of the format. The one place that rule is
// applied to records.
bool cdb_position_advance(uint32_t position, uint64_t extra, uint32_t* next);

// The source of a build: called until it returns 0. Returns 1 with key and
// value set (their bytes must stay valid until the next call), 0 when the
// pairs are exhausted, -1 when it failed (it reports that itself).
using cdb_source = std::function<int(std::string_view& key, std::string_view& value)>;

// Writes all pairs of `source`, in order, into a new database at
// temp_path (created mode 0600) and renames it over final_path.
// Returns 0, or -1 after printing one message on stderr:
//   "Error: could not create/open temporary file\n"
//   "Error:error writing temp file\n"          (the header placeholder)
//   "Error: error writing temp file\n"         (a record's lengths)
//   "Error: error temp file\n"                 (a key)
//   "Error: write error temp file"             (a value; no line end)
//   "Error: out of memory\n"                   (adding or sorting entries)
//   "Error: too much data\n"                   (records pass 4 GiB)
//   "Error 1: error temp file\n"               (a table's slots)
//   "Error 12: too much data\n"                (tables pass 4 GiB)
//   "Error 20: write error temp file\n"        (flush before the header)
//   "Error 21: write error temp file\n"        (the header)
//   "Error 22: write error temp file\n"        (flush after the header)
//   "Error 24: error with close()\n"
//   "Error 25: could not rename cdb.tmp to tpasswd.cdb\n"  (whatever the paths)
// A failing source gives -1 without a message of the build's own. On any
// failure the temporary file stays, possibly incomplete, and the final
// file is untouched.
int cdb_build(const cdb_source& source, const std::string& temp_path,
              const std::string& final_path);

// ---- walking ----------------------------------------------------------

// Hands every record of the database open on fd to `each`, in file order
// (the order they were added), until `each` returns false. The records end
// where the first hash table begins. 0 when every record was read; -1 on a
// failed read, a file too short for its header, or a record that runs past
// the tables (a damaged or foreign file). Reads the file whole into memory.
using cdb_record_visitor = std::function<bool(std::string_view key, std::string_view value)>;
int cdb_records(int fd, const cdb_record_visitor& each);

// The same for the database at path, opened without following a final
// symbolic link and only when it is a plain file. 0 as cdb_records; -1 also
// when the file cannot be opened.
int cdb_file_records(const std::string& path, const cdb_record_visitor& each);

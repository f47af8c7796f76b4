#include "cdb/cdb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/testlib/testlib.h"

namespace {

using Pairs = CdbPairs;

struct Lookup {
  int result = 0;
  std::string value;
};

// cdb_lookup and then the read it promises: value-length bytes at the
// descriptor's position.
Lookup lookup(const std::string& path, const std::string& key) {
  Lookup out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return {-2, ""};
  uint32_t length = 0;
  out.result = cdb_lookup(fd, key.data(), key.size(), &length);
  if (out.result == 1) {
    out.value.resize(length);
    if (read(fd, out.value.data(), length) != static_cast<ssize_t>(length)) out.result = -3;
  }
  close(fd);
  return out;
}

cdb_source source_of(const Pairs& pairs) {
  auto next = std::make_shared<size_t>(0);
  return [&pairs, next](std::string_view& key, std::string_view& value) {
    if (*next == pairs.size()) return 0;
    key = pairs[*next].first;
    value = pairs[*next].second;
    ++*next;
    return 1;
  };
}

int build(const Pairs& pairs, const std::string& final_path) {
  return cdb_build(source_of(pairs), final_path + ".tmp", final_path);
}

// Two different keys of two letters with the same hash, found by search.
std::pair<std::string, std::string> equal_hash_keys() {
  std::map<uint32_t, std::string> seen;
  for (int a = 33; a < 127; ++a) {
    for (int b = 33; b < 127; ++b) {
      std::string key{static_cast<char>(a), static_cast<char>(b)};
      auto [it, fresh] = seen.emplace(cdb_hash(key.data(), key.size()), key);
      if (!fresh) return {it->second, key};
    }
  }
  return {};
}

// The awkward keys every reader must get right.
Pairs awkward_pairs() {
  auto [twin_a, twin_b] = equal_hash_keys();
  std::string long_a(100, 'x');
  std::string long_b = long_a;
  long_b[70] = 'y';  // differs only in the third 32-byte piece
  return {
      {"postmaster", "$1$abc$def:1:0:Postmaster:/d/postmaster:NOQUOTA"},
      {"", "the empty key"},
      {"dup", "first"},
      {twin_a, "twin a"},
      {long_a, "long a"},
      {"dup", "second"},
      {twin_b, "twin b"},
      {long_b, "long b"},
      {std::string("nul\0key", 7), std::string("bin\0\n\xff value", 13)},
      {"no value", ""},
  };
}

class CdbTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tinycdb().empty()) << "tinycdb's cdb tool is needed"; }
  std::string file(const std::string& name) const { return box_.root() + "/" + name; }
  Sandbox box_;
};

uint32_t u32_at(const std::string& bytes, size_t offset) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void put_u32(const std::string& path, off_t offset, uint32_t v) {
  unsigned char p[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, p, 4, offset), 4);
  close(fd);
}

// Offset of the slot where the probe for `key` starts.
size_t first_slot_offset(const std::string& bytes, const std::string& key) {
  uint32_t h = cdb_hash(key.data(), key.size());
  uint32_t table = u32_at(bytes, (h & 0xff) * 8);
  uint32_t slots = u32_at(bytes, (h & 0xff) * 8 + 4);
  return table + 8 * ((h >> 8) % slots);
}

TEST(CdbHash, IsTheFoldOfTheOneByteStep) {
  EXPECT_EQ(cdb_hash("", 0), 5381u);
  EXPECT_EQ(cdb_hash("a", 1), (5381u * 33) ^ 'a');
  EXPECT_EQ(cdb_hash("\xff", 1), (5381u * 33) ^ 0xffu);  // bytes count as unsigned
  for (std::string key : {"postmaster", "example.com", "\x80\x81\xfe", "a much longer key!"}) {
    uint32_t h = kCdbHashStart;
    for (char c : key) h = h * 33 ^ static_cast<unsigned char>(c);
    EXPECT_EQ(cdb_hash(key.data(), key.size()), h) << key;
  }
}

TEST(CdbPosition, AdvanceRefusesToPassFourGiB) {
  struct Case {
    uint32_t position;
    uint64_t extra;
    bool fits;
  } cases[] = {
      {2048, 8, true},
      {0xfffffff0u, 0xf, true},        // ends on the last representable position
      {0xfffffff0u, 0x10, false},      // would wrap to 0
      {2048, 0xffffffffull, false},    // a length that cannot be stored
      {2048, 0x100000000ull + 8, false},
      {0, 0xffffffffull, true},
  };
  for (const Case& c : cases) {
    uint32_t next = 7;
    EXPECT_EQ(cdb_position_advance(c.position, c.extra, &next), c.fits)
        << c.position << " + " << c.extra;
    if (c.fits) {
      EXPECT_EQ(next, c.position + c.extra);
    }
  }
}

TEST(CdbWriter, SortKeepsEachTableInAddedOrderAcrossBlocks) {
  cdb_writer writer;
  cdb_writer_init(&writer);
  // 2500 entries span three blocks; hashes cycle through five tables.
  for (uint32_t i = 0; i < 2500; ++i) {
    ASSERT_TRUE(cdb_writer_add(&writer, (i << 8) | (i % 5), 2048 + i));
  }
  ASSERT_TRUE(cdb_writer_sort(&writer));
  for (int table = 0; table < 5; ++table) {
    ASSERT_EQ(writer.count[table], 500u);
    for (uint32_t k = 0; k < 500; ++k) {
      EXPECT_EQ(writer.sorted[writer.start[table] + k].position, 2048 + k * 5 + table);
    }
  }
}

TEST(CdbWriter, TablePlacesCollidingEntriesInTheNextFreeSlotWrapping) {
  cdb_writer writer;
  cdb_writer_init(&writer);
  // Three entries of table 7 whose probes all start at the last of 6 slots.
  for (uint32_t pos : {100u, 200u, 300u}) ASSERT_TRUE(cdb_writer_add(&writer, (5u << 8) | 7, pos));
  ASSERT_TRUE(cdb_writer_sort(&writer));
  EXPECT_EQ(cdb_writer_table(&writer, 4096, 7), 6u);
  EXPECT_EQ(writer.slots[5].position, 100u);
  EXPECT_EQ(writer.slots[0].position, 200u);
  EXPECT_EQ(writer.slots[1].position, 300u);
  EXPECT_EQ(writer.slots[2].position, 0u);
  EXPECT_EQ(u32_at(std::string(reinterpret_cast<char*>(writer.header), 2048), 7 * 8), 4096u);
  EXPECT_EQ(cdb_writer_table(&writer, 5000, 8), 0u);
  EXPECT_EQ(u32_at(std::string(reinterpret_cast<char*>(writer.header), 2048), 8 * 8), 5000u);
}

TEST_F(CdbTest, EmptyDatabaseIsTheBareHeader) {
  std::string path = file("empty.cdb");
  ASSERT_EQ(build({}, path), 0);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 2048u);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(u32_at(bytes, i * 8), 2048u);
    EXPECT_EQ(u32_at(bytes, i * 8 + 4), 0u);
  }
  EXPECT_EQ(lookup(path, "").result, 0);
  EXPECT_EQ(lookup(path, "anything").result, 0);
  EXPECT_EQ(run_tinycdb({"-d", path}).out, "\n");
  EXPECT_FALSE(file_exists(path + ".tmp"));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(CdbTest, OneRecordLayout) {
  std::string path = file("one.cdb");
  ASSERT_EQ(build({{"key", "value"}}, path), 0);
  std::string bytes = read_file(path);
  uint32_t table = cdb_hash("key", 3) & 0xff;
  const uint32_t after_record = 2048 + 8 + 3 + 5;
  ASSERT_EQ(bytes.size(), after_record + 16);
  for (uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(u32_at(bytes, i * 8), i <= table ? after_record : after_record + 16) << i;
    EXPECT_EQ(u32_at(bytes, i * 8 + 4), i == table ? 2u : 0u) << i;
  }
  EXPECT_EQ(bytes.substr(2048, 16), std::string("\3\0\0\0\5\0\0\0keyvalue", 16));
}

TEST_F(CdbTest, OurFilesReadBackThroughBothReaders) {
  std::string path = file("ours.cdb");
  Pairs pairs = awkward_pairs();
  ASSERT_EQ(build(pairs, path), 0);

  EXPECT_EQ(run_tinycdb({"-d", path}).out, tinycdb_records(pairs));
  EXPECT_EQ(run_tinycdb({"-q", path, "dup"}).out, "firstsecond");  // both, in added order
  EXPECT_EQ(run_tinycdb({"-q", path, ""}).out, "the empty key");
  for (const auto& [key, value] : pairs) {
    Lookup found = lookup(path, key);
    EXPECT_EQ(found.result, 1) << key;
    if (key == "dup") {
      EXPECT_EQ(found.value, "first");
    } else {
      EXPECT_EQ(found.value, value) << key;
      if (key.find('\0') == std::string::npos) {
        EXPECT_EQ(run_tinycdb({"-q", path, key}).out, value) << key;
      }
    }
  }
  for (const std::string& absent : std::vector<std::string>{"dupe", "du", std::string(100, 'x') + "x", std::string(99, 'x'),
                             std::string("nul", 3), "postmaster2"}) {
    EXPECT_EQ(lookup(path, absent).result, 0) << absent;
    EXPECT_NE(run_tinycdb({"-q", path, absent}).status, 0) << absent;
  }
}

TEST_F(CdbTest, TinycdbFilesReadBackThroughOurLookup) {
  Pairs pairs = awkward_pairs();
  std::string path = file("theirs.cdb");
  ASSERT_EQ(run_tinycdb({"-c", path}, tinycdb_records(pairs)).status, 0);
  for (const auto& [key, value] : pairs) {
    Lookup found = lookup(path, key);
    EXPECT_EQ(found.result, 1) << key;
    EXPECT_EQ(found.value, key == "dup" ? "first" : value) << key;
  }
  EXPECT_EQ(lookup(path, "missing").result, 0);

  std::string empty = file("theirs-empty.cdb");
  ASSERT_EQ(run_tinycdb({"-c", empty}, "\n").status, 0);
  EXPECT_EQ(lookup(empty, "").result, 0);
  EXPECT_EQ(lookup(empty, "x").result, 0);
}

TEST_F(CdbTest, SamePairsGiveTheSameBytesAsTinycdb) {
  Pairs pairs;
  for (int i = 0; i < 5000; ++i) pairs.emplace_back(std::string("user").append(std::to_string(i * 7919)), std::to_string(i));
  ASSERT_EQ(build(pairs, file("ours.cdb")), 0);
  ASSERT_EQ(run_tinycdb({"-c", file("theirs.cdb")}, tinycdb_records(pairs)).status, 0);
  EXPECT_TRUE(read_file(file("ours.cdb")) == read_file(file("theirs.cdb")));

  // Every key through one descriptor, each lookup after reading a value.
  int fd = open(file("ours.cdb").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (const auto& [key, value] : pairs) {
    uint32_t length = 0;
    ASSERT_EQ(cdb_lookup(fd, key.data(), key.size(), &length), 1) << key;
    std::string got(length, '\0');
    ASSERT_EQ(read(fd, got.data(), length), static_cast<ssize_t>(length));
    ASSERT_EQ(got, value);
  }
  close(fd);
}

TEST_F(CdbTest, TruncatedFilesNeverYieldARecordBeyondTheCut) {
  Pairs pairs = awkward_pairs();
  std::string path = file("whole.cdb");
  ASSERT_EQ(build(pairs, path), 0);
  std::string bytes = read_file(path);
  std::string cut = file("cut.cdb");
  for (size_t size : {size_t{0}, size_t{7}, size_t{1024}, size_t{2047}, size_t{2048},
                      size_t{2060}, bytes.size() - 40, bytes.size() - 1}) {
    write_file(cut, bytes.substr(0, size));
    for (const auto& [key, value] : pairs) {
      Lookup found = lookup(cut, key);
      if (size <= 2048) {
        EXPECT_NE(found.result, 1) << size << " " << key;
      } else {
        // A record may still be whole; if it is found it must be its own.
        EXPECT_TRUE(found.result == 0 || found.result == -1 ||
                    (found.result == 1 && (found.value == value || key == "dup")))
            << size << " " << key;
      }
    }
  }
}

TEST_F(CdbTest, DamagedNumbersGiveZeroOrMinusOne) {
  std::string path = file("base.cdb");
  ASSERT_EQ(build({{"alpha", "1"}, {"beta", "2"}}, path), 0);
  const std::string bytes = read_file(path);
  uint32_t h = cdb_hash("alpha", 5);
  off_t descriptor = (h & 0xff) * 8;
  off_t slot = static_cast<off_t>(first_slot_offset(bytes, "alpha"));
  uint32_t record = u32_at(bytes, slot + 4);
  struct Damage {
    const char* name;
    off_t offset;
    uint32_t value;
  } cases[] = {
      {"table past the end", descriptor, 0x7fff0000},
      {"table wraps past 4 GiB", descriptor, 0xfffffff8},
      {"huge slot count", descriptor + 4, 0xffffffff},
      {"slot count running past the end", descriptor + 4, 0x1000000},
      {"record past the end", slot + 4, 0x7fffff00},
      {"record into the header", slot + 4, 8},
      {"key length past the end", record, 0x7fffffff},
      {"value past 4 GiB", record + 4, 0xfffffff0},
      {"value past the end of the file", record + 4, 0x10000},
  };
  std::string damaged = file("damaged.cdb");
  for (const Damage& d : cases) {
    write_file(damaged, bytes);
    put_u32(damaged, d.offset, d.value);
    int result = lookup(damaged, "alpha").result;
    EXPECT_TRUE(result == 0 || result == -1) << d.name << " gave " << result;
  }
}

TEST_F(CdbTest, FullTableOfStrangersEndsAfterItsSlotCount) {
  // Every slot taken by records of other keys with the sought hash: the
  // probe must stop after the table's slot count.
  std::string path = file("full.cdb");
  ASSERT_EQ(build({{"ab", "1"}, {"cd", "2"}}, path), 0);
  uint32_t h = cdb_hash("zz", 2);
  uint32_t record = 2048;
  for (uint32_t table = 0; table < 256; ++table) {
    put_u32(path, table * 8, 2048);   // every table is the first 2 records
    put_u32(path, table * 8 + 4, 2);
  }
  // Slots at 2048 are the first record's bytes; make them point at records
  // whose hash matches but whose keys do not.
  put_u32(path, 2048, h);
  put_u32(path, 2052, record);
  put_u32(path, 2056, h);
  put_u32(path, 2060, record);
  Lookup found = lookup(path, "zz");
  EXPECT_TRUE(found.result == 0 || found.result == -1);
}

TEST_F(CdbTest, EqualHashOtherKeyIsPassedOver) {
  std::string path = file("pass.cdb");
  ASSERT_EQ(build({{"ab", "short"}}, path), 0);
  std::string bytes = read_file(path);
  // Claim the stored key has the hash of keys it is not: one of another
  // length, one of the same length. Rewire the descriptor so the probe
  // reaches this table.
  for (std::string other : {"abc", "zz"}) {
    write_file(path, bytes);
    uint32_t h = cdb_hash(other.data(), other.size());
    uint32_t table = u32_at(bytes, (cdb_hash("ab", 2) & 0xff) * 8);
    put_u32(path, (h & 0xff) * 8, table);
    put_u32(path, (h & 0xff) * 8 + 4, 2);
    put_u32(path, table, h);
    put_u32(path, table + 4, 2048);
    put_u32(path, table + 8, h);
    put_u32(path, table + 12, 2048);
    EXPECT_EQ(lookup(path, other).result, 0) << other;
  }
}

TEST_F(CdbTest, LookupOnAPipeFails) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  uint32_t length = 0;
  EXPECT_EQ(cdb_lookup(fds[0], "a", 1, &length), -1);
  close(fds[0]);
  close(fds[1]);
}

struct BuildFailure {
  const char* name;
  std::string temp;   // relative to the sandbox unless absolute
  Pairs pairs;
  const char* message;
};

TEST_F(CdbTest, BuildFailuresPrintTheirMessageAndKeepTheOldFile) {
  Pairs many;
  for (int i = 0; i < 8000; ++i) many.emplace_back(std::string("k").append(std::to_string(10000 + i)), "");
  const BuildFailure cases[] = {
      {"no directory", "missing/dir/cdb.tmp", {}, "Error: could not create/open temporary file\n"},
      {"disk full at the flush", "/dev/full", {{"a", "b"}}, "Error 20: write error temp file\n"},
      {"disk full in a value", "/dev/full", {{"a", std::string(300000, 'v')}},
       "Error: write error temp file"},
      {"disk full in a key", "/dev/full", {{std::string(300000, 'k'), "v"}},
       "Error: error temp file\n"},
      {"disk full in the tables", "/dev/full", many, "Error 1: error temp file\n"},
  };
  std::string final_path = file("tpasswd.cdb");
  for (const BuildFailure& c : cases) {
    write_file(final_path, "old");
    if (c.temp[0] == '/' && access(c.temp.c_str(), W_OK) != 0) continue;
    std::string temp = c.temp[0] == '/' ? c.temp : file(c.temp);
    testing::internal::CaptureStderr();
    int result = cdb_build(source_of(c.pairs), temp, final_path);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1) << c.name;
    EXPECT_EQ(err, c.message) << c.name;
    EXPECT_EQ(read_file(final_path), "old") << c.name;
  }
}

TEST_F(CdbTest, FailedRenameLeavesTheCompleteTemporaryFile) {
  std::string final_path = file("final");
  ASSERT_EQ(mkdir(final_path.c_str(), 0700), 0);
  write_file(final_path + "/inside", "x");  // a full directory cannot be renamed over
  std::string temp = file("cdb.tmp");
  testing::internal::CaptureStderr();
  int result = cdb_build(source_of({{"k", "v"}}), temp, final_path);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error 25: could not rename cdb.tmp to tpasswd.cdb\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(lookup(temp, "k").value, "v");
  EXPECT_EQ(read_file(final_path + "/inside"), "x");
}

TEST_F(CdbTest, FailingSourceStopsTheBuildQuietly) {
  std::string final_path = file("tpasswd.cdb");
  write_file(final_path, "old");
  int calls = 0;
  cdb_source source = [&](std::string_view& key, std::string_view& value) {
    key = "k";
    value = "v";
    return ++calls < 3 ? 1 : -1;
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(cdb_build(source, file("cdb.tmp"), final_path), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(read_file(final_path), "old");
}

}  // namespace

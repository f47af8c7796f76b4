// Builds a database of password-line-sized records with our writer and
// with tinycdb's, then looks random keys up with our reader and with
// tinycdb's read-based cdb_seek, and prints the times and their ratios.
// tinycdb is linked here for comparison only; the product never uses it.
//
//   cdb_bench [records] [directory]   (defaults: 1000000, /dev/shm when it
//                                      exists, else $TMPDIR or /tmp)
// Memory-backed files keep disk write-back out of the build times.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>
#include <algorithm>

#include "cdb/cdb.h"

// tinycdb's C interface in a namespace of its own: its struct names and
// its cdb_hash stay apart from ours (ours have C++ linkage).
namespace tiny {
#include <cdb.h>
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;

struct Records {
  std::vector<std::string> keys;
  std::vector<std::string> values;
};

// User names with lines shaped like a domain's password file.
Records make_records(size_t count) {
  Records r;
  r.keys.reserve(count);
  r.values.reserve(count);
  std::mt19937 random(42);
  const char* alphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  for (size_t i = 0; i < count; ++i) {
    std::string user = std::string("user").append(std::to_string(i * 2654435761u % 1000000007u));
    std::string hash = "$1$";
    for (int k = 0; k < 31; ++k) hash += (k == 8 ? '$' : alphabet[random() % 64]);
    r.values.push_back(hash + ":1:0:Mailbox " + std::to_string(i) +
                       ":/usr/local/tessera/domains/3/example.com/" + user + ":NOQUOTA");
    r.keys.push_back(std::move(user));
  }
  return r;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double build_ours(const Records& r, const std::string& path) {
  unlink(path.c_str());  // freeing the last round's file is not the build's cost
  auto start = Clock::now();
  size_t next = 0;
  cdb_source source = [&](std::string_view& key, std::string_view& value) {
    if (next == r.keys.size()) return 0;
    key = r.keys[next];
    value = r.values[next];
    ++next;
    return 1;
  };
  if (cdb_build(source, path + ".tmp", path) != 0) std::exit(1);
  return seconds_since(start);
}

double build_tinycdb(const Records& r, const std::string& path) {
  unlink(path.c_str());
  auto start = Clock::now();
  std::string temp = path + ".tmp";
  int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  tiny::cdb_make maker;
  if (fd < 0 || tiny::cdb_make_start(&maker, fd) != 0) std::exit(1);
  for (size_t i = 0; i < r.keys.size(); ++i) {
    if (tiny::cdb_make_add(&maker, r.keys[i].data(), r.keys[i].size(), r.values[i].data(),
                           r.values[i].size()) != 0) {
      std::exit(1);
    }
  }
  if (tiny::cdb_make_finish(&maker) != 0 || close(fd) != 0) std::exit(1);
  if (rename(temp.c_str(), path.c_str()) != 0) std::exit(1);
  return seconds_since(start);
}

// Each lookup must find its key; the summed lengths are checked too.
template <typename Seek>
double time_lookups(const Records& r, const std::vector<size_t>& order, const std::string& path,
                    Seek seek) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) std::exit(1);
  uint64_t total = 0, expected = 0;
  auto start = Clock::now();
  for (size_t i : order) {
    unsigned length = 0;
    if (seek(fd, r.keys[i], &length) != 1) {
      std::fprintf(stderr, "lookup of %s failed\n", r.keys[i].c_str());
      std::exit(1);
    }
    total += length;
  }
  double elapsed = seconds_since(start);
  close(fd);
  for (size_t i : order) expected += r.values[i].size();
  if (total != expected) std::exit(1);
  return elapsed;
}

// The best of several rounds of each, the two taking turns, so that a
// busy moment of the machine does not fall on one side only.
template <typename RunA, typename RunB>
std::pair<double, double> best_of(RunA run_a, RunB run_b) {
  double best_a = 1e30, best_b = 1e30;
  for (int i = 0; i < kRounds; ++i) {
    best_a = std::min(best_a, run_a());
    best_b = std::min(best_b, run_b());
  }
  return {best_a, best_b};
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = argc > 2                          ? argv[2]
                    : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                    : tmp != nullptr                ? tmp
                                                    : "/tmp";
  std::string ours = dir + "/cdb_bench_ours.cdb";
  std::string theirs = dir + "/cdb_bench_tinycdb.cdb";

  Records records = make_records(count);
  std::vector<size_t> order(count);
  std::mt19937_64 random(7);
  for (size_t& i : order) i = random() % count;

  auto [build_a, build_b] = best_of([&] { return build_ours(records, ours); },
                                    [&] { return build_tinycdb(records, theirs); });
  bool same = file_bytes(ours) == file_bytes(theirs);

  auto our_seek = [](int fd, const std::string& key, unsigned* length) {
    uint32_t n = 0;
    int result = cdb_lookup(fd, key.data(), key.size(), &n);
    *length = n;
    return result;
  };
  auto tinycdb_seek = [](int fd, const std::string& key, unsigned* length) {
    return tiny::cdb_seek(fd, key.data(), static_cast<unsigned>(key.size()), length);
  };
  auto [look_a, look_b] = best_of([&] { return time_lookups(records, order, ours, our_seek); },
                                  [&] { return time_lookups(records, order, ours, tinycdb_seek); });

  std::printf("records: %zu, best of %d rounds each, files in %s\n", count, kRounds, dir.c_str());
  std::printf("build   cdb_build %.3f s   tinycdb cdb_make %.3f s   ratio %.2f (target <= 1.20)\n",
              build_a, build_b, build_a / build_b);
  std::printf("lookup  cdb_lookup %.3f s  tinycdb cdb_seek %.3f s   ratio %.2f (target <= 1.00)\n",
              look_a, look_b, look_a / look_b);
  std::printf("files byte-identical: %s\n", same ? "yes" : "no");
  unlink(ours.c_str());
  unlink(theirs.c_str());
  return 0;
}

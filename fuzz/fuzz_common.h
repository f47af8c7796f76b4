// What the fuzz targets share: one private store per process, laid out
// once, with the domain example.com assigned, and helpers that put the
// fuzzer's bytes where a parser reads them. Each target defines
// LLVMFuzzerTestOneInput; the same file links with libFuzzer for campaigns
// and with replay_main.cc for the corpus replay that runs among the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The store root (made on first use) and the example.com directory in it.
const std::string& fuzz_root();
const std::string& fuzz_domain_dir();

// Compiles an assignment table into its database as qmail-newu does: 0,
// or -1 when the table is refused or cannot be read.
int fuzz_compile_assign(const std::string& assign, const std::string& database);

// Replaces the file at path with exactly these bytes.
void fuzz_write(const std::string& path, std::string_view bytes);

inline std::string_view fuzz_bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A check that holds for every input; a failure aborts so the fuzzer and
// the replay both report it with the input that broke it.
void fuzz_require(bool holds, const char* what);

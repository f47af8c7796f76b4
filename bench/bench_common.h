// What the whole-process benchmarks share: finding the build's programs,
// running one quietly and timing it, a sandbox store's bare skeleton, the
// median, and the results table (medians and their growth per size).
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

// The build directory: benchmarks live in its bench/ folder.
inline std::string build_dir() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// Runs a program (argv[0] a path) with its output discarded: its exit
// status, or -1 when it could not run or was killed. cpu_ms, when given,
// receives the child's own user and system time: on a busy machine the
// wall time mostly measures the wait for a processor. quiet discards its
// stderr too.
inline int run(const std::vector<std::string>& words, double* cpu_ms = nullptr,
               bool quiet = false) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t silent;
  posix_spawn_file_actions_init(&silent);
  posix_spawn_file_actions_addopen(&silent, 1, "/dev/null", O_WRONLY, 0);
  if (quiet) posix_spawn_file_actions_addopen(&silent, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int spawned = posix_spawn(&pid, argv[0], &silent, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&silent);
  if (spawned != 0) return -1;
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  if (cpu_ms != nullptr) {
    *cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a tessera command ({tessera, "--root", ROOT, words...}); a failure
// ends the benchmark, since its figures would mean nothing.
inline void must_run(const std::vector<std::string>& words, double* cpu_ms = nullptr) {
  if (run(words, cpu_ms) == 0) return;
  std::string line;
  for (size_t i = 3; i < words.size(); ++i) line += " " + words[i];
  fprintf(stderr, "bench: tessera%s failed\n", line.c_str());
  exit(1);
}

inline double milliseconds_of(const std::vector<std::string>& words) {
  auto start = std::chrono::steady_clock::now();
  must_run(words);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Wall and CPU time of one tessera command, in milliseconds.
struct RunTiming {
  double wall_ms = 0, cpu_ms = 0;
};

inline RunTiming timing_of(const std::vector<std::string>& words) {
  RunTiming t;
  auto start = std::chrono::steady_clock::now();
  must_run(words, &t.cpu_ms);
  t.wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return t;
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// ROOT with the store home, qmail's folders and the qmail stand-ins, as a
// host has them before any domain exists.
inline void make_store_skeleton(const std::string& root) {
  fs::remove_all(root);
  for (const char* dir : {"/usr/local/tessera/domains", "/usr/local/tessera/etc",
                          "/var/qmail/bin", "/var/qmail/control", "/var/qmail/users"}) {
    fs::create_directories(root + dir);
  }
  for (const char* tool : {"qmail-newu", "qmail-newmrh"}) {
    fs::copy_file(build_dir() + "/" + tool, root + "/var/qmail/bin/" + tool);
  }
}

// The table of medians at growing sizes, each against the first size.
class GrowthTable {
 public:
  GrowthTable(const char* size_name, const char* first, const char* second) {
    printf("%8s %11s median %11s median %12s %12s\n", size_name, first, second,
           (std::string(first) + " growth").c_str(), (std::string(second) + " growth").c_str());
  }
  void row(int size, const std::vector<double>& firsts, const std::vector<double>& seconds) {
    double a = median(firsts), b = median(seconds);
    if (base_a_ == 0) base_a_ = a, base_b_ = b;
    printf("%8d %11.2f ms %11.2f ms %11.2fx %11.2fx\n", size, a, b, a / base_a_, b / base_b_);
    fflush(stdout);
  }

 private:
  double base_a_ = 0, base_b_ = 0;
};

}  // namespace bench

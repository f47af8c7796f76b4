// Times the qmail-newu stand-in compiling users/assign against tinycdb's
// "cdb -c" building the same records from its own input format, both as
// whole processes, and prints the CPU times and their ratio.
//
//   newu_bench [lines] [runs] [directory]
//       (defaults: 300,000 assignment lines, 7 runs, /dev/shm when it exists,
//       else $TMPDIR or /tmp; the median of the runs is shown)
//
// Memory-backed files keep disk write-back out of the times. The two
// databases are compared byte for byte, so a fast wrong table cannot pass.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/bench_common.h"

namespace {

using namespace bench;

// One domain's assignment line, and the same record in cdbmake's format.
void write_inputs(const std::string& assign, const std::string& records, int lines) {
  std::ofstream a(assign, std::ios::binary), r(records, std::ios::binary);
  for (int i = 0; i < lines; ++i) {
    std::string domain = "domain" + std::to_string(i) + ".example";
    std::string home = "/usr/local/tessera/domains/" + std::to_string(i % 62) + "/" + domain;
    a << '+' << domain << "-:" << domain << ":89:89:" << home << ":-::\n";
    std::string key = "!" + domain + "-";
    std::string value = domain + '\0' + "89" + '\0' + "89" + '\0' + home + '\0' + "-" + '\0' + '\0';
    r << '+' << key.size() << ',' << value.size() << ':' << key << "->" << value << '\n';
  }
  a << ".\n";
  r << '\n';
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "cdb -c" reads its records on standard input.
double tinycdb_cpu_ms(const std::string& records, const std::string& out) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(records.c_str(), O_RDONLY);
    if (fd < 0 || dup2(fd, 0) < 0) _exit(127);
    execlp("cdb", "cdb", "-c", "-t", (out + ".tmp").c_str(), out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "newu_bench: cdb -c failed\n");
    exit(1);
  }
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  int lines = argc > 1 ? atoi(argv[1]) : 300000;
  int runs = argc > 2 ? atoi(argv[2]) : 7;
  const char* tmp = getenv("TMPDIR");
  std::string parent = argc > 3                        ? argv[3]
                       : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                       : tmp != nullptr                ? tmp
                                                       : "/tmp";
  std::string root = parent + "/newu-bench";
  make_store_skeleton(root);
  std::string records = root + "/records.cdbmake", theirs = root + "/tinycdb.cdb";
  write_inputs(root + "/var/qmail/users/assign", records, lines);
  std::string newu = root + "/var/qmail/bin/qmail-newu";

  std::vector<double> ours, tiny;
  for (int r = 0; r < runs; ++r) {
    double cpu = 0;
    if (run({newu}, &cpu) != 0) {
      fprintf(stderr, "newu_bench: qmail-newu failed\n");
      return 1;
    }
    ours.push_back(cpu);
    tiny.push_back(tinycdb_cpu_ms(records, theirs));
  }
  bool same = file_bytes(root + "/var/qmail/users/cdb") == file_bytes(theirs);
  printf("lines: %d, median of %d runs, CPU time, files in %s\n", lines, runs, parent.c_str());
  printf("qmail-newu %.1f ms   cdb -c %.1f ms   ratio %.2f (target <= 1.20)\n", median(ours),
         median(tiny), median(ours) / median(tiny));
  printf("databases byte-identical: %s\n", same ? "yes" : "no");
  fs::remove_all(root);
  return same ? 0 : 1;
}

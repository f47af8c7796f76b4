// qmail-newu stand-in: compiles users/assign into users/cdb. On any problem
// it says so on stderr, exits 111 and leaves users/cdb as it was.
#include <fcntl.h>
#include <unistd.h>

#include "tools/qmail_tables.h"
#include "tools/qmail_tool.h"

namespace {
constexpr const char* kProgram = "qmail-newu";
constexpr const char* kTemp = "users/cdb.tmp";
}

int main(int, char** argv) {
  std::string home = tool_qmail_home(argv[0]);
  if (home.empty()) tool_fatal(kProgram, "unable to find the qmail home");
  if (chdir(home.c_str()) != 0) tool_fatal(kProgram, "unable to chdir to " + home);

  int fd = open("users/assign", O_RDONLY | O_CLOEXEC);
  if (fd < 0) tool_fatal(kProgram, "unable to read users/assign");
  AssignCompiler compiler(fd);
  bool refused = false;
  cdb_source source = [&](std::string_view& key, std::string_view& value) {
    int more = compiler.next(key, value);
    refused = more < 0;
    return more;
  };
  // The table is checked as it is written: a refusal removes the
  // temporary file, so it leaves nothing behind and users/cdb as it was.
  if (!tool_write_cdb(source, kTemp, "users/cdb", kProgram)) {
    if (!refused) return kToolFailure;  // the writer has said why
    unlink(kTemp);
    tool_fatal(kProgram, compiler.problem().empty() ? "unable to read users/assign"
                                                    : compiler.problem());
  }
  return 0;
}

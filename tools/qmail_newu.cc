// qmail-newu stand-in: compiles users/assign into users/cdb. On any problem
// it says so on stderr, exits 111 and leaves users/cdb as it was.
#include <unistd.h>

#include "tools/qmail_tables.h"
#include "tools/qmail_tool.h"

namespace {
constexpr const char* kProgram = "qmail-newu";
}

int main(int, char** argv) {
  std::string home = tool_qmail_home(argv[0]);
  if (home.empty()) tool_fatal(kProgram, "unable to find the qmail home");
  if (chdir(home.c_str()) != 0) tool_fatal(kProgram, "unable to chdir to " + home);

  std::string text;
  if (tool_read_file("users/assign", &text) != 1) {
    tool_fatal(kProgram, "unable to read users/assign");
  }
  KeyValuePairs pairs;
  std::string problem;
  // The whole table is checked before the temporary file is made, so a
  // refusal leaves nothing behind.
  if (!compile_assign(text, &pairs, &problem)) tool_fatal(kProgram, problem);
  if (!tool_write_cdb(pairs, "users/cdb.tmp", "users/cdb", kProgram)) return kToolFailure;
  return 0;
}

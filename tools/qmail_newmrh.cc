// qmail-newmrh stand-in: compiles control/morercpthosts into
// control/morercpthosts.cdb. A missing list compiles to an empty database;
// any other problem exits 111 and leaves the old database in place.
#include <unistd.h>

#include "tools/qmail_tables.h"
#include "tools/qmail_tool.h"

namespace {
constexpr const char* kProgram = "qmail-newmrh";
}

int main(int, char** argv) {
  std::string home = tool_qmail_home(argv[0]);
  if (home.empty()) tool_fatal(kProgram, "unable to find the qmail home");
  if (chdir(home.c_str()) != 0) tool_fatal(kProgram, "unable to chdir to " + home);

  std::string text;
  if (tool_read_file("control/morercpthosts", &text) < 0) {
    tool_fatal(kProgram, "unable to read control/morercpthosts");
  }
  if (!tool_write_cdb(compile_morercpthosts(text), "control/morercpthosts.tmp",
                      "control/morercpthosts.cdb", kProgram)) {
    return kToolFailure;
  }
  return 0;
}

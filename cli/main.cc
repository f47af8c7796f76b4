// tessera: the store's domain and account operations from the command line.
//
//   tessera [--root DIR] GROUP COMMAND ARGUMENTS...
//
// --root DIR reads every fixed path P of the store and of qmail as DIR + P,
// as the sandbox CGI does, so scripts and tests never touch a live host.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/site.h"
#include "cli/command.h"

namespace {

constexpr const char* kUsage =
    "usage: tessera [--root DIR] domain add NAME\n"
    "       tessera [--root DIR] domain del NAME\n"
    "       tessera [--root DIR] domain alias ALIAS REAL\n"
    "       tessera [--root DIR] domain show NAME\n"
    "       tessera [--root DIR] domain list [NAME]\n"
    "       tessera [--root DIR] limits show NAME\n"
    "       tessera [--root DIR] limits set NAME FILE|-\n"
    "       tessera [--root DIR] limits del NAME\n"
    "       tessera [--root DIR] user add ADDRESS PASSWORD [FULLNAME]\n"
    "       tessera [--root DIR] user del ADDRESS\n"
    "       tessera [--root DIR] user show ADDRESS\n"
    "       tessera [--root DIR] user list DOMAIN\n"
    "       tessera [--root DIR] user passwd ADDRESS PASSWORD\n"
    "       tessera [--root DIR] user quota ADDRESS QUOTA\n";

int usage() {
  fputs(kUsage, stderr);
  return kUsageStatus;
}

bool usable_root(const char* root) {
  struct stat st;
  return root[0] == '/' && stat(root, &st) == 0 && S_ISDIR(st.st_mode);
}

int run_group(const std::string& group, const Words& words) {
  if (group == "domain") return domain_command(words);
  if (group == "limits") return limits_command(words);
  if (group == "user") return user_command(words);
  return kUsageStatus;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--root") == 0) {
    if (argc < 3) return usage();
    if (!usable_root(argv[2])) {
      fputs("tessera: --root must name an absolute path to an existing directory\n", stderr);
      return kUsageStatus;
    }
    site_set_root(argv[2]);
    first = 3;
  }
  if (argc - first < 2) return usage();
  Words words(argv + first + 1, argv + argc);
  int status = run_group(argv[first], words);
  if (status == kUsageStatus) return usage();
  store_exit(status);
}

// tessera: the store's domain and account operations from the command line.
//
//   tessera [--root DIR] [--json] GROUP COMMAND ARGUMENTS...
//
// --json prints what a command shows as one JSON document instead.
// --root DIR reads every fixed path P of the store and of qmail as DIR + P,
// as the sandbox CGI does, so scripts and tests never touch a live host.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/address.h"
#include "base/audit_log.h"
#include "base/error.h"
#include "base/site.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/store_identity.h"

namespace {

constexpr const char* kUsage =
    "usage: tessera [--root DIR] [--json] init\n"
    "       tessera [--root DIR] domain add NAME\n"
    "       tessera [--root DIR] domain del NAME\n"
    "       tessera [--root DIR] domain alias ALIAS REAL\n"
    "       tessera [--root DIR] [--json] domain show NAME\n"
    "       tessera [--root DIR] [--json] domain list [NAME]\n"
    "       tessera [--root DIR] [--json] domain usage [NAME]\n"
    "       tessera [--root DIR] [--json] limits show NAME\n"
    "       tessera [--root DIR] limits set NAME FILE|-\n"
    "       tessera [--root DIR] limits del NAME\n"
    "       tessera [--root DIR] user add ADDRESS [-|PASSWORD [FULLNAME]]\n"
    "       tessera [--root DIR] user del ADDRESS\n"
    "       tessera [--root DIR] [--json] user show ADDRESS\n"
    "       tessera [--root DIR] [--json] user list DOMAIN [--inactive DAYS]\n"
    "       tessera [--root DIR] [--json] user import [--dry-run] FILE|-\n"
    "       tessera [--root DIR] user passwd ADDRESS [-|PASSWORD]\n"
    "       tessera [--root DIR] user quota ADDRESS QUOTA\n"
    "       tessera [--root DIR] [--json] check [--repair]\n"
    "A PASSWORD of - is read as one line from standard input; without one, it is\n"
    "asked twice on the terminal.\n";

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
  if (group == "init") return init_command(words);
  if (group == "check") return check_command(words);
  return kUsageStatus;
}

// The commands that change the store leave a line in the audit log, as the
// pages' changes do (see audit_change); `user import` writes its own, one
// per row.
void log_change(const std::string& group, const Words& words, int status) {
  static const char* const kChanging[] = {"domain add",  "domain del", "domain alias",
                                          "limits set",  "limits del", "user add",
                                          "user del",    "user passwd", "user quota",
                                          "check --repair"};
  if (status == kUsageStatus) return;
  // init has no words: it lays out the store's home.
  if (group == "init") return audit_change("init", tessera_home(), status);
  if (words.empty()) return;
  std::string command = group + " " + words[0];
  bool changing = false;
  for (const char* name : kChanging) changing = changing || command == name;
  if (!changing) return;
  std::string object = words.size() > 1 ? words[1] : "";
  lower_name(object);
  audit_change(command, object, status);
}

}  // namespace

namespace {

// "tessera:" and the user who started the tool, taken once, before root
// becomes the store's owner: the log names who asked, not who wrote.
const std::string& audit_admin() {
  static const std::string admin = [] {
    const passwd* runner = getpwuid(getuid());
    return "tessera:" + (runner ? std::string(runner->pw_name) : std::to_string(getuid()));
  }();
  return admin;
}

}  // namespace

void audit_change(const std::string& command, const std::string& object,
                  const std::string& result) {
  AuditRecord record{time(nullptr), audit_admin(), "-", command, object, result};
  if (audit_append(audit_line(record)) != 0) {
    fflush(stdout);
    fprintf(stderr, "tessera: %s\n", kAuditNotWritten);
  }
}

void audit_change(const std::string& command, const std::string& object, int status) {
  audit_change(command, object, status == 0 ? "ok" : "exit " + std::to_string(status));
}

int main(int argc, char** argv) {
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (strcmp(argv[first], "--json") == 0) {
      set_json_output(true);
      continue;
    }
    if (strcmp(argv[first], "--root") != 0 || first + 1 >= argc) return usage();
    if (!usable_root(argv[first + 1])) {
      fputs("tessera: --root must name an absolute path to an existing directory\n", stderr);
      return kUsageStatus;
    }
    site_set_root(argv[++first]);
  }
  if (first >= argc || (argc - first < 2 && strcmp(argv[first], "init") != 0 &&
                         strcmp(argv[first], "check") != 0)) return usage();
  Words words(argv + first + 1, argv + argc);
  audit_admin();
  // Root works as the store's owner; init becomes it once it has made the home.
  if (strcmp(argv[first], "init") != 0 && !become_store_owner(false)) return 1;
  int status = run_group(argv[first], words);
  log_change(argv[first], words, status);
  if (status == kUsageStatus) return usage();
  store_exit(status);
}

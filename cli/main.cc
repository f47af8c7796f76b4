// tessera: the store's domain and account operations from the command line.
//
//   tessera [--root DIR] [--json] GROUP COMMAND ARGUMENTS...
//
// --json prints what a command shows as one JSON document instead.
// --root DIR reads every fixed path P of the store and of qmail as DIR + P,
// as the sandbox CGI does, so scripts and tests never touch a live host.
// Options may stand anywhere among the words, before or after the command;
// after "--" every word is an argument, whatever it begins with.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/address.h"
#include "base/mailbox.h"
#include "base/audit_log.h"
#include "base/error.h"
#include "base/site.h"
#include "base/version.h"
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
    "       tessera [--root DIR] [--json] domain catchall NAME [bounce|delete|USER|ADDRESS]\n"
    "       tessera [--root DIR] [--json] limits show NAME\n"
    "       tessera [--root DIR] limits set NAME FILE|-\n"
    "       tessera [--root DIR] limits del NAME\n"
    "       tessera [--root DIR] alias add ADDRESS DESTINATION...\n"
    "       tessera [--root DIR] alias del ADDRESS\n"
    "       tessera [--root DIR] [--json] alias show ADDRESS\n"
    "       tessera [--root DIR] [--json] alias list DOMAIN\n"
    "       tessera [--root DIR] user add ADDRESS [-|PASSWORD [FULLNAME]]\n"
    "       tessera [--root DIR] user del ADDRESS\n"
    "       tessera [--root DIR] [--json] user show ADDRESS\n"
    "       tessera [--root DIR] [--json] user list DOMAIN [--inactive DAYS]\n"
    "       tessera [--root DIR] [--json] user import [--dry-run] FILE|-\n"
    "       tessera [--root DIR] user passwd ADDRESS [-|PASSWORD]\n"
    "       tessera [--root DIR] user quota ADDRESS QUOTA\n"
    "       tessera [--root DIR] user forward ADDRESS DEST... [--keep] | --off\n"
    "       tessera [--root DIR] user vacation ADDRESS --subject S --text FILE|-\n"
    "                                          [--until YYYY-MM-DD] | --off\n"
    "       tessera [--root DIR] [--json] check [--repair]\n"
    "       tessera help | -h | --help\n"
    "       tessera --version\n"
    "A PASSWORD of - is read as one line from standard input; without one, it is\n"
    "asked twice on the terminal. Options may stand before or after the command;\n"
    "after -- every word is an argument.\n";

int usage() {
  fputs(kUsage, stderr);
  return kUsageStatus;
}

// A usage error that names what was not understood, in one line before the
// usage text.
int usage(const std::string& why) {
  fprintf(stderr, "tessera: %s\n", why.c_str());
  return usage();
}

bool usable_root(const char* root) {
  struct stat st;
  return root[0] == '/' && stat(root, &st) == 0 && S_ISDIR(st.st_mode);
}

// Every command, with the options of its own it takes; a command's options
// reach it after its other words, each followed by its value if it has one.
struct CommandShape {
  const char* group;
  const char* name;  // "" for a group that is a command itself
  std::vector<const char*> options;
};

const std::vector<CommandShape>& command_shapes() {
  static const std::vector<CommandShape> shapes = {
      {"init", "", {}},          {"check", "", {"--repair"}},
      {"domain", "add", {}},     {"domain", "del", {}},
      {"domain", "alias", {}},   {"domain", "show", {}},
      {"domain", "list", {}},    {"domain", "usage", {}},
      {"limits", "show", {}},    {"limits", "set", {}},
      {"limits", "del", {}},     {"user", "add", {}},
      {"user", "del", {}},       {"user", "show", {}},
      {"user", "list", {"--inactive"}}, {"user", "import", {"--dry-run"}},
      {"user", "passwd", {}},    {"user", "quota", {}},
      {"user", "forward", {"--keep", "--off"}},
      {"user", "vacation", {"--subject", "--text", "--until", "--off"}},
      {"domain", "catchall", {}},
      {"alias", "add", {}},      {"alias", "del", {}},
      {"alias", "show", {}},     {"alias", "list", {}},
  };
  return shapes;
}

// The options the tool knows, and whether each takes a value.
struct OptionName {
  const char* name;
  bool takes_value;
};
constexpr OptionName kOptions[] = {
    {"--root", true},     {"--json", false},    {"--help", false}, {"-h", false},
    {"--version", false}, {"--inactive", true}, {"--dry-run", false}, {"--repair", false},
    {"--keep", false},    {"--off", false},     {"--subject", true}, {"--text", true},
    {"--until", true},
};

const OptionName* known_option(const std::string& word) {
  for (const OptionName& option : kOptions) {
    if (word == option.name) return &option;
  }
  return nullptr;
}

bool is_option_word(const std::string& word) {
  return word == "-h" || (word.size() > 2 && word.starts_with("--"));
}

struct CommandLine {
  std::vector<std::string> words;                            // group, command, arguments
  std::vector<std::pair<std::string, std::string>> options;  // a command's own, in order
  const char* root = nullptr;
  bool help = false;
  bool version = false;
};

// Takes the options out from among the words. Gives the usage status after
// its message for an option it does not know or one missing its value.
int read_command_line(int argc, char** argv, CommandLine& line) {
  bool only_words = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (only_words || !is_option_word(word)) {
      if (!only_words && word == "--") {
        only_words = true;
      } else {
        line.words.push_back(word);
      }
      continue;
    }
    const OptionName* option = known_option(word);
    if (!option) return usage("unknown option: " + word);
    std::string value;
    if (option->takes_value) {
      if (i + 1 >= argc) return usage();
      value = argv[++i];
    }
    if (word == "--root") {
      line.root = argv[i];
    } else if (word == "--json") {
      set_json_output(true);
    } else if (word == "--help" || word == "-h") {
      line.help = true;
    } else if (word == "--version") {
      line.version = true;
    } else {
      line.options.emplace_back(word, value);
    }
  }
  return 0;
}

// The command the words name: none after a message for words that name
// none, or for an option the command does not take; a known group without
// its command is left to the group's own usage.
int find_command(const CommandLine& line) {
  const std::string& group = line.words[0];
  const std::string name = line.words.size() > 1 ? line.words[1] : "";
  bool group_known = false;
  const CommandShape* found = nullptr;
  for (const CommandShape& shape : command_shapes()) {
    if (group != shape.group) continue;
    group_known = true;
    if (shape.name[0] == '\0' || name == shape.name) found = &shape;
  }
  if (!group_known) return usage("unknown command: " + group + (name.empty() ? "" : " " + name));
  if (!found) return name.empty() ? usage() : usage("unknown command: " + group + " " + name);
  for (const auto& [option, value] : line.options) {
    bool taken = false;
    for (const char* own : found->options) taken = taken || option == own;
    if (!taken) {
      std::string command = group + (found->name[0] ? std::string(" ") + found->name : "");
      return usage(command + " takes no option " + option);
    }
  }
  return 0;
}

int run_group(const std::string& group, const Words& words) {
  if (group == "domain") return domain_command(words);
  if (group == "limits") return limits_command(words);
  if (group == "user") return user_command(words);
  if (group == "init") return init_command(words);
  if (group == "check") return check_command(words);
  if (group == "alias") return alias_command(words);
  return kUsageStatus;
}

// The commands that change the store leave a line in the audit log, as the
// pages' changes do (see audit_change); `user import` writes its own, one
// per row.
void log_change(const std::string& group, const Words& words, int status) {
  static const char* const kChanging[] = {"domain add",  "domain del", "domain alias",
                                          "limits set",  "limits del", "user add",
                                          "user del",    "user passwd", "user quota",
                                          "check --repair", "user forward", "user vacation",
                                          "alias add", "alias del", "domain catchall"};
  if (status == kUsageStatus) return;
  // init has no words: it lays out the store's home.
  if (group == "init") return audit_change("init", tessera_home(), status);
  if (words.empty()) return;
  std::string command = group + " " + words[0];
  // Without its choice, the catch-all is only shown.
  if (command == "domain catchall" && words.size() < 3) return;
  bool changing = false;
  for (const char* name : kChanging) changing = changing || command == name;
  if (!changing) return;
  // The object as the store took it: a domain or an address, lower-cased
  // and cut as a DomainName is.
  const DomainName object(words.size() > 1 ? words[1] : "");
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
  CommandLine line;
  if (int status = read_command_line(argc, argv, line); status != 0) return status;
  if (line.help || (!line.words.empty() && line.words[0] == "help")) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (line.version) {
    printf("larkspur %s\ntessera %s\n", kLarkspurVersion, kTesseraVersion);
    return 0;
  }
  if (line.root) {
    if (!usable_root(line.root)) {
      fputs("tessera: --root must name an absolute path to an existing directory\n", stderr);
      return kUsageStatus;
    }
    site_set_root(line.root);
  }
  if (line.words.empty()) return usage();
  if (int status = find_command(line); status != 0) return status;
  const std::string group = line.words[0];
  Words words(line.words.begin() + 1, line.words.end());
  for (const auto& [option, value] : line.options) {
    words.push_back(option);
    if (known_option(option)->takes_value) words.push_back(value);
  }
  if (words.empty() && group != "init" && group != "check") return usage();
  audit_admin();
  // Root works as the store's owner; init becomes it once it has made the home.
  if (group != "init" && !become_store_owner(false)) return 1;
  int status = run_group(group, words);
  log_change(group, words, status);
  if (status == kUsageStatus) return usage();
  store_exit(status);
}

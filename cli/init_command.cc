// tessera init: lays out the store's home on a host that has qmail, so that
// the first `domain add` and `user add` work. Makes what is missing, never
// replaces what is there, and says what it made and what qmail lacks (its
// users/ and control/ directories, its qmail-newu and qmail-newmrh, which
// every change of its tables runs): the store is ready only with all.
//
// The home holds domains/ (the domain directories) and etc/ (the defaults
// limits file, the default-domain file), both the store user's with the
// store's directory mode; the defaults file says "no limits", the record
// every limits reader starts from. Run again, it changes nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/fd_guard.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/store_identity.h"
#include "domains/limits.h"

namespace {

// The store's directories, and the home and its parents when missing
// (ordinary directories others may traverse).
constexpr mode_t kStoreDirMode = 0750;
constexpr mode_t kOpenDirMode = 0755;
// The defaults file holds no secret; deliveries and logins read it.
constexpr mode_t kDefaultsMode = 0644;

struct InitRun {
  std::vector<std::string> made;
  std::vector<std::string> missing;  // qmail's directories
  std::vector<std::string> tools;    // qmail's tools that cannot run
  std::vector<std::string> failed;
};

bool is_dir(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void failure(InitRun& run, const std::string& what) {
  run.failed.push_back(what + ": " + strerror(errno));
}

// One directory, made when missing with the mode and owner given. An
// existing entry is left as it is; one that is no directory is a failure,
// a symbolic link above all: the home's owner could have put it there to
// have root hand them whatever file it points at.
//
// The new directory's mode and owner are set on a descriptor opened without
// following a link, never by its path: between mkdir and the change the
// store's user could swap a link in.
bool make_dir(InitRun& run, const std::string& path, mode_t mode, bool store_owned) {
  const std::string refused = path + ": a symbolic link stands there; refused";
  struct stat status;
  if (lstat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return true;
    if (S_ISLNK(status.st_mode)) {
      run.failed.push_back(refused);
      return false;
    }
    errno = ENOTDIR;
    failure(run, path);
    return false;
  }
  if (mkdir(path.c_str(), mode) != 0) {
    failure(run, path);
    return false;
  }
  FdGuard dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) {
    run.failed.push_back(refused);
    return false;
  }
  if (dir.get() < 0 || fchmod(dir.get(), mode) != 0 ||
      (store_owned && fchown(dir.get(), kStoreUid, kStoreGid) != 0)) {
    failure(run, path);
    return false;
  }
  run.made.push_back(path);
  return true;
}

// The parents of the home, from the top.
bool make_parents(InitRun& run, const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!make_dir(run, path.substr(0, slash), kOpenDirMode, false)) return false;
  }
  return true;
}

// The defaults file, written whole beside its place and linked into it, so
// an existing file (or one another process puts there meanwhile) is never
// replaced and no reader ever sees it half written.
void make_defaults_file(InitRun& run) {
  std::string path = default_limits_file();
  struct stat status;
  if (lstat(path.c_str(), &status) == 0) return;
  std::string temp = temp_name_for(path);
  TempFile copy(temp);
  bool written = copy.create(kDefaultsMode) && copy.give_owner(kStoreUid, kStoreGid, true) &&
                 copy.set_mode(kDefaultsMode);
  if (written) {
    copy.out().write(format_limits(domain_limits{}));
    written = copy.out().finish();
  }
  if (!written || (link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST)) {
    failure(run, path);
    return;
  }
  run.made.push_back(path);
}

void check_qmail(InitRun& run) {
  for (const char* part : {"/users", "/control"}) {
    std::string dir = qmail_home() + part;
    if (!is_dir(dir)) run.missing.push_back(dir);
  }
  run.tools = unusable_qmail_tools();
}

void report(const InitRun& run, bool ready) {
  if (json_output()) {
    std::vector<std::string> missing = run.missing;
    missing.insert(missing.end(), run.tools.begin(), run.tools.end());
    print_json(JsonObject()
                   .text("home", tessera_home())
                   .document("made", json_text_array(run.made))
                   .document("missing", json_text_array(missing))
                   .document("failed", json_text_array(run.failed))
                   .boolean("ready", ready)
                   .object());
  } else {
    for (const std::string& path : run.made) printf("made %s\n", path.c_str());
    if (ready) printf("store ready: %s\n", tessera_home().c_str());
  }
  fflush(stdout);
  for (const std::string& what : run.failed) fprintf(stderr, "tessera: cannot make %s\n", what.c_str());
  for (const std::string& dir : run.missing) {
    fprintf(stderr, "tessera: qmail's %s is missing: install qmail first\n", dir.c_str());
  }
  for (const std::string& tool : run.tools) {
    fprintf(stderr, "tessera: qmail's %s is missing or not executable: install qmail first\n",
            tool.c_str());
  }
}

}  // namespace

std::vector<std::string> unusable_qmail_tools() {
  std::vector<std::string> unusable;
  for (const char* name : {"qmail-newu", "qmail-newmrh"}) {
    std::string path = qmail_tool(name);
    struct stat status;
    // Any execute bit: the tools run as whoever changes the tables.
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
      unusable.push_back(path);
    }
  }
  return unusable;
}

int init_command(const Words& words) {
  if (!words.empty()) return kUsageStatus;
  InitRun run;
  const std::string& home = tessera_home();
  if (make_parents(run, home) && make_dir(run, home, kOpenDirMode, true)) {
    if (!become_store_owner(true)) {
      report(run, false);
      return 1;
    }
    make_dir(run, store_domains_dir(home), kStoreDirMode, true);
    if (make_dir(run, home + "/etc", kStoreDirMode, true)) make_defaults_file(run);
  }
  check_qmail(run);
  bool ready = run.failed.empty() && run.missing.empty() && run.tools.empty();
  report(run, ready);
  return ready ? 0 : 1;
}

#include "base/send_signal.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "base/site.h"
#include "tests/testlib/testlib.h"

namespace {

namespace fs = std::filesystem;

// Started with this variable set, the test program is itself the caller: it
// hangs up the name the variable holds, which its own command line holds
// too, and exits 0 when it is still alive afterwards.
constexpr const char* kCallerVariable = "SEND_SIGNAL_AS_CALLER";
const bool kRanAsCaller = [] {
  const char* name = std::getenv(kCallerVariable);
  if (name == nullptr) return false;
  signal(SIGHUP, SIG_DFL);
  _exit(send_signal_by_name(name, SIGHUP) == 0 ? 0 : 1);
}();

int run_caller(const std::string& name, const std::string& path) {
  RunOptions options;
  options.argv = {fs::read_symlink("/proc/self/exe"), name};
  options.env = {std::string(kCallerVariable) + "=" + name, "PATH=" + path};
  return run_program(options).status;
}

// Becomes the user uid (group uid, no other group); false when refused.
bool become(uid_t uid) {
  const gid_t gid = uid;
  return setgroups(1, &gid) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// Runs program as {argv0, seconds} (as the user `as`, unless 0) and returns
// once the listing shows it so.
pid_t start(const std::string& program, const std::string& argv0, const char* seconds,
            uid_t as = 0) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGHUP, SIG_DFL);
    if (as != 0 && !become(as)) _exit(126);
    execl(program.c_str(), argv0.c_str(), seconds, nullptr);
    _exit(127);
  }
  const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
  const std::string shown = argv0 + '\0' + seconds + '\0';
  for (int tries = 0; tries < 10000 && read_file(cmdline) != shown; ++tries) usleep(1000);
  EXPECT_EQ(read_file(cmdline), shown);
  return pid;
}

// The signal a process dies of when killed outright now: SIGHUP when a
// hang-up reached it first.
int end_signal(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

TEST(SendSignal, HangsUpTheNamedProgramButNeverItsWatchersNorTheCaller) {
  Sandbox box;
  site_set_root(box.root());
  const std::string name = qmail_send_match();
  fs::copy_file("/bin/sleep", name);
  const std::pair<std::string, int> listed[] = {
      {name, SIGHUP},
      {"svscan " + name, SIGKILL},
      {"supervise " + name, SIGKILL},
      {name + " multilog", SIGKILL},
      {box.path("/var/qmail/bin/qmail-smtpd"), SIGKILL},
  };
  std::vector<pid_t> pids;
  for (const auto& [argv0, ended_by] : listed) pids.push_back(start(name, argv0, "3600"));
  EXPECT_EQ(run_caller(name, "/usr/bin:/bin"), 0);
  for (std::size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(end_signal(pids[i]), listed[i].second) << listed[i].first;
  }
}

// A command line that only mentions the name, in an argument or as part of
// a longer word, is another program: only a word whose last path part is
// the name itself is the program.
TEST(SendSignal, HangsUpOnlyAWordWhoseLastPathPartIsTheName) {
  Sandbox box;
  site_set_root(box.root());
  const std::string name = qmail_send_match();
  fs::copy_file("/bin/sleep", name);
  const std::pair<std::string, int> listed[] = {
      {"sh -c " + name + ".log-viewer", SIGKILL},
      {"viewer " + name + "-old", SIGKILL},
      {"viewer x" + name, SIGKILL},
      {"tail " + name + "/log", SIGKILL},
      {"runner " + name, SIGHUP},
  };
  std::vector<pid_t> pids;
  for (const auto& [argv0, ended_by] : listed) pids.push_back(start(name, argv0, "3600"));
  EXPECT_EQ(run_caller(name, "/usr/bin:/bin"), 0);
  for (std::size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(end_signal(pids[i]), listed[i].second) << listed[i].first;
  }
}

TEST(SendSignal, ReadsThePidColumnTheHeaderNamesAndDropsTheTailOfOverlongLines) {
  Sandbox box;
  const std::string name = box.path("/var/qmail/bin/qmail-send");
  const pid_t listed = start("/bin/sleep", "sleep", "3600");
  const pid_t in_tail = start("/bin/sleep", "sleep", "3601");
  std::string overlong = "root ? 1 svscan ";
  overlong.resize(1023, 'x');
  overlong += "root ? " + std::to_string(in_tail) + " " + name;
  write_file(box.root() + "/listing", "USER TTY PID COMMAND\nroot ? " + std::to_string(listed) +
                                          " " + name + "\n" + overlong + "\n");
  write_file(box.root() + "/bin/ps", "#!/bin/sh\nexec cat " + box.root() + "/listing\n");
  fs::permissions(box.root() + "/bin/ps", fs::perms::owner_all);
  EXPECT_EQ(run_caller(name, box.root() + "/bin:/usr/bin:/bin"), 0);
  EXPECT_EQ(end_signal(listed), SIGHUP);
  EXPECT_EQ(end_signal(in_tail), SIGKILL);
}

// The store's user may not signal qmail-send, which runs as another user:
// the store runs the signal helper, which can only when it is setuid root.
TEST(SendSignal, StoreNotRunningAsRootHangsUpThroughTheSetuidHelper) {
  constexpr uid_t kMailUser = 40871;
  constexpr uid_t kStoreUser = 40872;
  Sandbox box;
  fs::permissions(box.root(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  site_set_root(box.root());
  const std::string name = qmail_send_match();
  fs::copy_file("/bin/sleep", name);
  const std::string helper = signal_helper_path();
  fs::create_directories(fs::path(helper).parent_path());
  fs::copy_file(build_output("tessera-hup-sandbox"), helper);
  ASSERT_EQ(chown(helper.c_str(), 0, kStoreUser), 0);
  const std::pair<mode_t, int> helper_modes[] = {{04750, SIGHUP}, {0750, SIGKILL}};
  for (const auto& [mode, ended_by] : helper_modes) {
    ASSERT_EQ(chmod(helper.c_str(), mode), 0);
    const pid_t qmail_send = start(name, name, "3600", kMailUser);
    const pid_t store = fork();
    if (store == 0) _exit(become(kStoreUser) && hang_up_qmail_send() == 0 ? 0 : 1);
    int status = -1;
    waitpid(store, &status, 0);
    EXPECT_EQ(status, 0) << std::oct << mode;
    EXPECT_EQ(end_signal(qmail_send), ended_by) << std::oct << mode;
  }
}

}  // namespace

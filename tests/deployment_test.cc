// The README's deployment, followed as written on a fresh root: `cmake
// --install` of this build, `tessera init` as root, lighttpd started as
// root from the shipped configuration (only its var.larkspur_* site values
// set, and the sandbox root given to the program) and running as the
// store's user 89, then a domain and a mailbox made through the pages.
// The installed production programs are swapped for their sandbox twins,
// keeping the owner and mode the install gave, so nothing reaches the
// host's own store or mail system. Creates the group and user 89
// "tessera" when the host lacks them.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "tests/testlib/testlib.h"

namespace {

namespace fs = std::filesystem;

constexpr char kLighttpd[] = "/usr/sbin/lighttpd";
constexpr char kShipped[] = "/usr/local/share/larkspur/lighttpd-larkspur.conf";
constexpr char kCgiDir[] = "/usr/local/lib/cgi-bin/larkspur";
constexpr char kHelper[] = "/usr/local/tessera/bin/tessera-hup";
constexpr unsigned kStore = 89;

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
  RunOptions options;
  options.argv = argv;
  options.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  options.env.insert(options.env.end(), env.begin(), env.end());
  return run_program(options);
}

// A port that was free on 127.0.0.1 a moment ago.
std::string free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return std::to_string(port);
}

// The store's user as the README asks the site to make it.
bool store_user_ready() {
  if (getgrgid(kStore) == nullptr) run({"/usr/sbin/groupadd", "-g", "89", "tessera"});
  if (getpwuid(kStore) == nullptr) {
    run({"/usr/sbin/useradd", "-u", "89", "-g", "89", "-M", "-d", "/usr/local/tessera", "-s",
         "/usr/sbin/nologin", "tessera"});
  }
  const passwd* user = getpwuid(kStore);
  return getgrgid(kStore) != nullptr && user != nullptr && std::string(user->pw_name) == "tessera";
}

// Replaces the installed program's bytes, keeping the owner and mode that
// the install gave it.
void swap_program(const std::string& installed, const std::string& twin) {
  struct stat st {};
  ASSERT_EQ(stat(installed.c_str(), &st), 0) << installed;
  fs::copy_file(twin, installed, fs::copy_options::overwrite_existing);
  ASSERT_EQ(chown(installed.c_str(), st.st_uid, st.st_gid), 0);
  ASSERT_EQ(chmod(installed.c_str(), st.st_mode & 07777), 0);
}

// "uid:gid mode" of a path.
std::string owner_mode(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "missing";
  char mode[8];
  snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + mode;
}

// The shipped file with the given var.NAME lines set; "" when one is
// missing from it.
std::string with_site_values(const std::string& shipped,
                             const std::map<std::string, std::string>& values) {
  std::string config;
  size_t set = 0;
  for (const std::string& line : lines_of(shipped)) {
    std::string kept = line;
    for (const auto& [name, value] : values) {
      if (line.rfind("var." + name + " ", 0) == 0) {
        kept = "var." + name + " = " + value;
        ++set;
      }
    }
    config += kept + "\n";
  }
  return set == values.size() ? config : "";
}

// A child process, killed and reaped by the destructor; ended_by() gives
// the signal it dies of when killed outright now (SIGHUP when a hang-up
// reached it first).
struct Child {
  pid_t pid = -1;
  explicit Child(const std::vector<std::string>& argv) {
    pid = fork();
    if (pid == 0) {
      signal(SIGHUP, SIG_DFL);
      std::vector<char*> args;
      for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  int ended_by() {
    if (pid <= 0) return -1;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  }
  ~Child() { ended_by(); }
};

TEST(Deployment, ReadmeStepsServeThePagesAsTheStoreUser) {
  for (const char* tool : {kLighttpd, "/usr/bin/curl", "/usr/bin/openssl"}) {
    if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
  }
  ASSERT_TRUE(store_user_ready()) << "uid or gid 89 is taken by another name";
  Sandbox box;
  const std::string root = box.root();
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::remove_all(box.path("/usr/local"));

  // 2. Install, as root, with group 89 present.
  RunResult installed = run({"/usr/bin/cmake", "--install", fs::path(build_output("tessera")).parent_path(),
                             "--prefix", "/usr/local"},
                            {"DESTDIR=" + root});
  ASSERT_EQ(installed.status, 0) << installed.err;
  const std::string cgi = box.path(kCgiDir) + "/larkspur.cgi";
  const std::string helper = box.path(kHelper);
  EXPECT_NE(installed.out.find("Owner root:89, mode 0750: " + cgi + "\n"), std::string::npos)
      << installed.out;
  EXPECT_EQ(owner_mode(cgi), "0:89 0750");
  EXPECT_EQ(owner_mode(helper), "0:89 4750");
  EXPECT_EQ(owner_mode(box.path("/usr/local/tessera")), "89:89 0755");
  swap_program(cgi, build_output("larkspur-sandbox.cgi"));
  swap_program(helper, build_output("tessera-hup-sandbox"));

  // 3. The store, laid out by root.
  RunResult init = run({box.path("/usr/local/bin/tessera"), "--root", root, "init"});
  ASSERT_EQ(init.status, 0) << init.err;

  // 4. The web server from the shipped file, with the site's values.
  const std::string etc = box.path("/etc/lighttpd");
  RunResult hash = run({"/usr/bin/openssl", "passwd", "-apr1", "s3cret"});
  write_file(etc + "/larkspur.htpasswd", "admin:" + hash.out);
  ASSERT_EQ(chown((etc + "/larkspur.htpasswd").c_str(), 0, kStore), 0);
  ASSERT_EQ(chmod((etc + "/larkspur.htpasswd").c_str(), 0640), 0);
  RunResult cert = run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=localhost",
                        "-days", "2", "-keyout", etc + "/larkspur.pem", "-out", etc + "/cert"});
  ASSERT_EQ(cert.status, 0) << cert.err;
  write_file(etc + "/larkspur.pem", read_file(etc + "/larkspur.pem") + read_file(etc + "/cert"));
  const std::string shipped = read_file(box.path(kShipped));
  EXPECT_EQ(shipped, read_file(fs::path(__FILE__).parent_path().parent_path() /
                               "conf/lighttpd-larkspur.conf"));
  const std::string port = free_port();
  const std::string config =
      with_site_values(shipped, {{"larkspur_dir", "\"" + box.path(kCgiDir) + "\""},
                                 {"larkspur_etc", "\"" + etc + "\""},
                                 {"larkspur_log", "\"" + root + "/log/error.log\""},
                                 {"larkspur_bind", "\"127.0.0.1\""},
                                 {"larkspur_port", port}});
  ASSERT_FALSE(config.empty()) << "a site value is missing from the shipped file";
  write_file(etc + "/larkspur.conf",
             config + "setenv.add-environment = ( \"LARKSPUR_ROOT\" => \"" + root + "\" )\n");
  fs::create_directories(root + "/log");
  ASSERT_EQ(chown((root + "/log").c_str(), kStore, kStore), 0);
  Child server({kLighttpd, "-D", "-f", etc + "/larkspur.conf"});
  // A qmail-send of root's, which the store's user may not signal itself.
  const std::string qmail_send = box.path("/var/qmail/bin/qmail-send");
  fs::copy_file("/bin/sleep", qmail_send);
  Child mail({qmail_send, "3600"});

  auto post = [&](const std::string& body) {
    RunResult r;
    for (int attempt = 0; attempt < 50; ++attempt) {
      r = run({"/usr/bin/curl", "-q", "-s", "-k", "--max-time", "20", "--noproxy", "*", "-u",
               "admin:s3cret", "--data-binary", body,
               "https://127.0.0.1:" + port + "/cgi-bin/larkspur/larkspur.cgi"});
      if (r.status != 7) break;  // 7: not listening yet
      usleep(100000);
    }
    return r.out;
  };
  // 5. The first domain and mailbox, through the pages.
  EXPECT_NE(post("nav=add_domain&dname=deploy.example&pp=pm1").find("Created Domain<BR>"),
            std::string::npos)
      << read_file(root + "/log/error.log");
  EXPECT_NE(post("nav=add_user&eaddr=ann@deploy.example&cpass=pw")
                .find("Email Account ann@deploy.example created<BR>"),
            std::string::npos);
  EXPECT_EQ(mail.ended_by(), SIGHUP);

  const std::string log = read_file(box.path("/usr/local/tessera/etc/larkspur.log"));
  for (const char* line : {"\tadmin\t127.0.0.1\tadd_domain\tdeploy.example\t",
                           "\tadmin\t127.0.0.1\tadd_user\tann@deploy.example\t"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  // Everything in the store and in qmail's tables is the store user's.
  for (const char* top : {"/usr/local/tessera/domains", "/usr/local/tessera/etc",
                          "/var/qmail/users", "/var/qmail/control"}) {
    EXPECT_EQ(owner_mode(box.path(top)).substr(0, 6), "89:89 ") << top;
    for (const auto& entry : fs::recursive_directory_iterator(box.path(top))) {
      EXPECT_EQ(owner_mode(entry.path()).substr(0, 6), "89:89 ") << entry.path();
    }
  }
}

}  // namespace

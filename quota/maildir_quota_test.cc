#include "quota/maildir_quota.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <thread>

#include "base/site.h"
#include "domains/assign.h"
#include "quota/quota_input.h"
#include "tests/testlib/testlib.h"

namespace {

TEST(FormatQuotaSpec, NormalisesWhatAnAdministratorTypes) {
  struct Case {
    std::string input, quota_text;
  } cases[] = {
      {"10MB", "10485760S"},       {"500k,1000C", "512000S,1000C"}, {"1000c", "1000S"},
      {"5M,200C", "5242880S,200C"}, {"0", ""},                      {"NOQUOTA", "NOQUOTA"},
      {",,2KBs,,", "2048S"},       {"7C,9C,3", "3S,9C"},            {"abc", ""},
      {"99999999999999999999M", "18446744073709551615S"},
      {std::string(127, '1') + "9", "18446744073709551615S"},
      {"1GB", "1073741824S"},      {"2t", "2199023255552S"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_quota_spec(c.input), c.quota_text) << c.input;
}

// What the pages, tessera and imports store for a typed text; none is refused.
TEST(QuotaInput, StoresWhatWasMeantAndRefusesTheRest) {
  struct Case {
    std::string typed;
    std::optional<std::string> stored;
  } cases[] = {
      {"10MB", "10485760S"}, {"500k,1000C", "512000S,1000C"}, {"NOQUOTA", "NOQUOTA"},
      {"5M,200C", "5242880S,200C"}, {"1G", "1073741824S"}, {"1gb", "1073741824S"},
      {"1TS", "1099511627776S"}, {"0", ""}, {"2048", "2048S"},
      {"lots", std::nullopt}, {"1X", std::nullopt}, {"", std::nullopt}, {",", std::nullopt},
      {"1000c", std::nullopt}, {"MB", std::nullopt}, {"10MB,", "10485760S"},
      {"10 MB", std::nullopt}, {"noquota", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(quota_input(c.typed), c.stored) << c.typed;
  EXPECT_EQ(quota_not_understood("lots"), "quota not understood: lots");
}

TEST(ParseQuotaSpec, TakesTheFirstLimitOfEachKind) {
  struct Case {
    const char* quota_text;
    int result;
    uint64_t size, count;
  } cases[] = {
      {"1000S,10C", 1, 1000, 10}, {"10C,,1000S", 1, 1000, 10}, {"5S,6S,7C,8C", 1, 5, 7},
      {"7", 1, 7, 0},             {"7,8C", 1, 0, 8},           {"8C,9", 1, 9, 8},
      {"-1S,5S", 1, 5, 0},        {"18446744073709551615S", 1, 0, 0},
      {"NOQUOTA", 1, 0, 0},       {"", 0, 0, 0},               {nullptr, 0, 0, 0},
  };
  for (const Case& c : cases) {
    uint64_t size = 99, count = 99;
    EXPECT_EQ(parse_quota_spec(c.quota_text, &size, &count), c.result) << c.quota_text;
    EXPECT_EQ(size, c.size) << c.quota_text;
    EXPECT_EQ(count, c.count) << c.quota_text;
  }
}

TEST(MaildirToEmail, NamesTheAccountAboveTheMaildir) {
  struct Case {
    std::string path, email;
  } cases[] = {
      {"/home/t/domains/example.org/0/joe/Maildir/", "joe@example.org"},
      {"/d/example.org/joe/Maildir", "joe@example.org"},
      {"/d/example.org/A/b/joe/Maildir/.Sent/", "joe@example.org"},
      {"/d/x.org/Maildir/y/joe/Maildir/cur", "joe@x.org"},
      {"/d/example.org/joe/Mail", ""},
      {"/d/0/joe/Maildir/", ""},
      {"/Maildir/", ""},
      {"/d/" + std::string(250, 'e') + ".org/joe/Maildir/", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(maildir_to_email(c.path), c.email) << c.path;

  Sandbox box;
  std::string home = box.root() + "/example.org/0/joe";
  write_file(home + "/Maildir/new/.keep", "");
  char before[4096];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  ASSERT_EQ(chdir(home.c_str()), 0);
  EXPECT_EQ(maildir_to_email("./Maildir/"), "joe@example.org");
  ASSERT_EQ(chdir(before), 0);
}

// A sandbox with one maildir; the working directory is the sandbox root,
// which holds no usage-client configuration unless a test writes one.
class MaildirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_set_root(box.root());
    forget_daemon_usage();
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(box.root().c_str()), 0);
    for (const char* sub : {"new", "cur", "tmp"}) std::filesystem::create_directories(maildir + sub);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(cwd_), 0);
    site_set_root("");
  }

  // Writes a maildirsize last modified `age` seconds ago.
  void write_sizefile(const std::string& content, time_t age = 0) {
    write_file(sizefile, content);
    set_age(sizefile, age);
  }
  static void set_age(const std::string& path, time_t age) {
    timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
  // check_maildir_quota's outcome: "ok" or the errno's name, then the
  // percentage it left (-1: untouched).
  std::string check(const std::string& path, const char* quota_text, uint64_t extra_size = 0) {
    int fd = -2, percent = -1;
    errno = 0;
    int result = check_maildir_quota(path, &fd, quota_text, extra_size, 0, &percent);
    std::string outcome = result == 0 ? "ok" : strerrorname_np(errno);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(result == 0 || fd == -1) << "a failed check hands back no file";
    return outcome + " " + std::to_string(percent);
  }

  Sandbox box;
  std::string home = box.root() + "/domains/example.org/0/joe";
  std::string maildir = home + "/Maildir/";
  std::string sizefile = maildir + "maildirsize";
  char cwd_[4096];
};

TEST_F(MaildirTest, UsageAtALimitIsWithinAndOneMoreIsOver) {
  struct Case {
    std::string file;
    uint64_t extra_size;
    std::string outcome;
    std::string file_after;  // "" : unchanged
  } cases[] = {
      {"1000S,10C\n1000 5\n", 0, "ok 100", ""},
      {"1000S,10C\n500 1\n", 0, "ok 50", ""},
      {"1000S,10C\n10 10\n", 0, "ok 100", ""},
      {"1000S,10C\n1001 5\n", 0, "ENOSPC 100", ""},  // one fresh line is trusted
      {"1000S,10C\n10 11\n", 0, "ENOSPC 100", ""},
      {"1000S,10C\n1000 5\n", 1, "ENOSPC 100", ""},
      {"1000S,10C\n600 1\n-200 -1\n", 0, "ok 40", ""},  // removals are negative lines
      {"1000S,10C\n5 1\n-9 -3\n", 0, "ok 0", ""},       // never below nothing
      {"1000S,10C\n600 1\n600 1\n", 0, "ok 0", "1000S,10C\n0 0\n"},  // unsure: recounted
      {"1000S,10C\n1001 1\njunk\n", 0, "ok 0", "1000S,10C\n0 0\n"},
  };
  for (const Case& c : cases) {
    write_sizefile(c.file);
    EXPECT_EQ(check(maildir, "1000S,10C", c.extra_size), c.outcome) << c.file;
    EXPECT_EQ(read_file(sizefile), c.file_after.empty() ? c.file : c.file_after) << c.file;
  }
}

TEST_F(MaildirTest, StaleOrOversizedFilesAreRebuilt) {
  write_file(maildir + "cur/1,S=300:2,S", "");
  std::string padded = "1000S\n100 1\n";
  while (padded.size() < 5119) padded += "0 0\n";
  padded.resize(5119);
  struct Case {
    std::string file;
    time_t age;
    bool rebuilt;
  } cases[] = {
      {"1000S\n100 1\n", 890, false}, {"1000S\n100 1\n", 901, true},
      {padded, 0, false},             {padded + "\n", 0, true},
  };
  for (const Case& c : cases) {
    write_sizefile(c.file, c.age);
    EXPECT_EQ(check(maildir, "1000S"), c.rebuilt ? "ok 30" : "ok 10")
        << c.file.size() << " bytes, age " << c.age;
    EXPECT_EQ(read_file(sizefile), c.rebuilt ? "1000S\n300 1\n" : c.file) << c.age;
  }
}

TEST_F(MaildirTest, RecountFollowsTheMessageNamingRules) {
  write_file(maildir + "new/1.a,S=1234", "");
  write_file(maildir + "cur/2.b,S=100:2,S", "");
  write_file(maildir + "cur/3.c,S=999:2,ST", "");  // trashed
  write_file(maildir + "cur/4.d:2,", "1234567");    // no size in the name: 7 bytes on disk
  write_file(maildir + "cur/5.e:2,,S=50", "abc");   // a size after the flags is no size
  write_file(maildir + "cur/6.f,S=x", "zz");        // a size mark without digits is 0
  write_file(maildir + "cur/.hidden,S=77", "");
  write_file(maildir + ".Trash/cur/7,S=5000", "");
  write_file(maildir + ".Sent/cur/8,S=10:2,S", "");
  write_file(maildir + ".Sent/new/9,S=1", "");
  write_file(maildir + ".Sent/maildirfolder", "");
  for (const std::string& path : {maildir, maildir + ".Sent"}) {
    unlink(sizefile.c_str());
    EXPECT_EQ(check(path, "100000S,20C"), "ok 35") << path;
    EXPECT_EQ(read_file(sizefile), "100000S,20C\n1355 7\n") << path;
    EXPECT_FALSE(file_exists(maildir + ".Sent/maildirsize"));
    struct stat status;
    ASSERT_EQ(stat(sizefile.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kStoreUid);
    EXPECT_EQ(status.st_gid, kStoreGid);
  }
  EXPECT_TRUE(names_in(maildir + "tmp").empty());
  EXPECT_EQ(check(maildir, "1000S"), "ENOSPC 100");
  EXPECT_EQ(check(maildir, ""), "ok -1") << "no quota text, no check";
}

// The folder ".x" has the maildir's tmp/ mounted over its new/ (in a mount
// namespace of a child's own), so the recount's own temporary file lands in
// a counted directory while the count is under way: exactly what a
// delivery during a recount looks like. A link would not do: the recount
// never enters one.
TEST_F(MaildirTest, ACountOvertakenByAChangeGivesNoVerdict) {
  write_file(maildir + "cur/1,S=10", "");
  mkdir((maildir + ".x").c_str(), 0700);
  mkdir((maildir + ".x/new").c_str(), 0700);
  for (const char* dir : {"new", "cur", "tmp", ".x", ".x/new"}) set_age(maildir + dir, 3600);
  pid_t child = fork();
  if (child == 0) {
    bool mounted = unshare(CLONE_NEWNS) == 0 &&
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount((maildir + "tmp").c_str(), (maildir + ".x/new").c_str(), nullptr, MS_BIND,
                         nullptr) == 0;
    if (!mounted) _exit(2);
    int fd = -1, percent = -1;
    errno = 0;
    int result = check_maildir_quota(maildir, &fd, "1000S", 0, 0, &percent);
    _exit(result == -1 && errno == EAGAIN && fd == -1 && percent == -1 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no EAGAIN verdict";
  EXPECT_EQ(read_file(sizefile), "1000S\n10 1\n") << "the rebuilt file stays";
}

TEST_F(MaildirTest, WritingAppendsOrInstallsAWholeFile) {
  EXPECT_EQ(write_maildirsize(maildir, -1, "500S", 10, 1, true), 0);
  EXPECT_EQ(read_file(sizefile), "500S\n10 1\n");
  write_file(maildir + ".Sent/maildirfolder", "");
  EXPECT_EQ(write_maildirsize(maildir + ".Sent", -1, "500S", 20, 2, true), 0);
  EXPECT_EQ(read_file(sizefile), "500S\n10 1\n20 2\n") << "only line 1 holds the quota";
  unlink(sizefile.c_str());

  // A write that fails part-way (the file-size limit stops it after 4
  // bytes) leaves neither a half maildirsize nor its temporary.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit tiny = saved;
  tiny.rlim_cur = 4;
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &tiny);
  int result = write_maildirsize(maildir, -1, "500S", 10, 1, true);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(file_exists(sizefile));
  EXPECT_TRUE(names_in(maildir + "tmp").empty());

  int fd = -1;
  std::optional<std::string> temp = make_maildirsize_temp(maildir, &fd);
  ASSERT_TRUE(temp && fd >= 0);
  // TIME.PID_NeWmAiLdIrSiZe.HOST in the maildir's tmp/.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string head = maildir + "tmp/";
  std::string tail = "." + std::to_string(getpid()) + "_NeWmAiLdIrSiZe." + host;
  ASSERT_TRUE(temp->starts_with(head) && temp->ends_with(tail)) << *temp;
  std::string seconds = temp->substr(head.size(), temp->size() - head.size() - tail.size());
  EXPECT_TRUE(!seconds.empty() && seconds.find_first_not_of("0123456789") == std::string::npos)
      << *temp;
  EXPECT_EQ(fcntl(fd, F_GETFL) & (O_APPEND | O_NONBLOCK), O_APPEND);
  close(fd);
  ASSERT_EQ(symlink(temp->c_str(), sizefile.c_str()), 0);
  errno = 0;
  EXPECT_EQ(safe_open(sizefile, O_RDWR, 0), -1) << "a link is not the file";
  EXPECT_EQ(errno, ENOENT);
  // A FIFO a mail user planted would hold the reader up forever.
  ASSERT_EQ(unlink(sizefile.c_str()), 0);
  ASSERT_EQ(mkfifo(sizefile.c_str(), 0600), 0);
  EXPECT_EQ(safe_open(sizefile, O_RDWR, 0), -1) << "a FIFO is not the file";
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(make_maildirsize_temp(box.root() + "/nowhere", &fd)->empty());
  EXPECT_EQ(fd, -1);
}

TEST_F(MaildirTest, UpdateRebuildsForTheDomainOrRemovesForNoQuota) {
  ASSERT_EQ(assign_add_domain("example.org", "example.org", box.root() + "/domains/example.org",
                              1234, 5678),
            0);
  write_file(maildir + "new/1,S=64", "");
  write_sizefile("9S\n9 9\n");
  update_maildirsize(DomainName("example.org"), home, "100S");
  EXPECT_EQ(read_file(sizefile), "100S\n64 1\n");
  struct stat status;
  ASSERT_EQ(stat(sizefile.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 1234u);
  EXPECT_EQ(status.st_gid, 5678u);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  update_maildirsize(DomainName("example.org"), home, "NOQUOTA");
  EXPECT_FALSE(file_exists(sizefile));
  EXPECT_TRUE(names_in(maildir + "tmp").empty());
}

// A usage daemon on a UNIX socket that answers each query with the next
// size of its list and records the texts it was asked.
class FakeDaemon {
 public:
  FakeDaemon(const std::string& path, std::vector<uint64_t> sizes) {
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    thread_ = std::thread([this, sizes] {
      for (uint64_t size : sizes) serve(size);
    });
  }
  ~FakeDaemon() { close(listener_); }
  // Waits until every answer went out; the texts asked, in order.
  std::vector<std::string> finish() {
    thread_.join();
    return queries_;
  }

 private:
  void serve(uint64_t size) {
    // A client that never comes must not keep the test waiting for ever.
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 10000) != 1) return;
    int peer = accept(listener_, nullptr, nullptr);
    if (peer < 0) return;
    unsigned char length[2];
    std::string text;
    if (recv(peer, length, 2, MSG_WAITALL) == 2) {
      text.resize(length[0] * 256u + length[1]);
      recv(peer, text.data(), text.size(), MSG_WAITALL);
    }
    queries_.push_back(text);
    unsigned char answer[16] = {};
    for (int i = 0; i < 8; ++i) answer[i] = static_cast<unsigned char>(size >> (56 - 8 * i));
    answer[15] = 3;
    send(peer, answer, sizeof answer, MSG_NOSIGNAL);
    close(peer);
  }
  int listener_;
  std::vector<std::string> queries_;
  std::thread thread_;
};

TEST_F(MaildirTest, TheDaemonsAnswerReplacesTheFile) {
  std::string socket_path = box.root() + "/usage.sock";
  write_file(box.root() + "/tmeterc.conf", "Server: Filename = " + socket_path + ";\n");
  std::vector<uint64_t> sizes = {250, ~uint64_t{0}, 5000, 250};
  std::vector<int> percents = {25, 0, 100, 0};
  std::vector<std::string> quota_texts = {"1000S", "1000S", "1000S,10C", "10C"};
  FakeDaemon daemon(socket_path, sizes);
  for (size_t i = 0; i < sizes.size(); ++i) {
    forget_daemon_usage();
    EXPECT_EQ(maildir_quota_percent(maildir, quota_texts[i]), percents[i]) << sizes[i];
  }
  // Asked again in the same process, the mailbox keeps the last answer
  // (250 bytes) and the daemon is not asked.
  EXPECT_EQ(maildir_quota_percent(maildir, "1000S"), 25);
  EXPECT_EQ(daemon.finish(), std::vector<std::string>(sizes.size(), "joe@example.org"));
  EXPECT_FALSE(file_exists(sizefile));
}

}  // namespace

namespace {

// How full a mailbox is, as both account views show it: a mailbox without
// a quota is 0% whatever it holds, one with a quota is judged by it.
TEST_F(MaildirTest, MailboxUseIsZeroWithoutAQuotaAndJudgedWithOne) {
  write_file(maildir + "cur/1,S=300:2,S", "");
  const struct {
    const char* quota;
    int percent;
    std::string text;
  } cases[] = {{"", 0, "0%"}, {"NOQUOTA", 0, "0%"}, {"1000S", 30, "30%"}, {"200S", 100, "100%"}};
  for (const auto& c : cases) {
    unlink(sizefile.c_str());
    EXPECT_EQ(mailbox_use_percent(home, c.quota), c.percent) << c.quota;
    unlink(sizefile.c_str());
    EXPECT_EQ(mailbox_use_text(home, c.quota), c.text) << c.quota;
  }
}

}  // namespace

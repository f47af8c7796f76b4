// The tessera tool's account commands, end to end in a sandbox: the stored
// password line and its index, the maildir and last-login record, the
// store's messages, and what concurrent and killed writers leave behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "tests/tessera_cli.h"
#include "tests/testlib/testlib.h"

namespace {

std::string name_of(const std::string& line) { return line.substr(0, line.find(':')); }

// What `openssl passwd -6` makes of the password with the salt of a stored
// "$6$SALT$HASH" field.
std::string openssl_sha512_crypt(const std::string& stored, const std::string& password) {
  size_t end = stored.find('$', 3);
  if (stored.rfind("$6$", 0) != 0 || end == std::string::npos) return "not a SHA-512 crypt";
  RunOptions options;
  options.argv = {"/usr/bin/openssl", "passwd", "-6", "-salt", stored.substr(3, end - 3), password};
  options.env = {"PATH=/usr/bin:/bin"};
  std::vector<std::string> out = lines_of(run_program(options).out);
  return out.empty() ? "" : out[0];
}

class TesseraUserTest : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    write_file(box.path("/usr/local/tessera/etc/tlimits.default"), "# no limits\n");
    ASSERT_NO_FATAL_FAILURE(ok({"domain", "add", "example.com"}));
    std::string shown = tessera({"domain", "show", "example.com"}).out;
    domain_dir = shown.substr(shown.find('\t') + 1);
    domain_dir.erase(domain_dir.find('\t'));
  }

  std::string tool() { return build_output("tessera") + " --root " + box.root(); }
  std::string tpasswd() { return read_file(domain_dir + "/tpasswd"); }
  std::vector<std::string> stored_names() {
    std::vector<std::string> names;
    for (const std::string& line : lines_of(tpasswd())) names.push_back(name_of(line));
    return names;
  }

  // tinycdb reads from tpasswd.cdb exactly the pairs that tpasswd's lines give.
  void expect_index_matches_text() {
    CdbPairs pairs;
    for (const std::string& line : lines_of(tpasswd())) {
      pairs.emplace_back(name_of(line), line.substr(line.find(':') + 1));
    }
    EXPECT_EQ(run_tinycdb({"-d", domain_dir + "/tpasswd.cdb"}).out, tinycdb_records(pairs));
  }

  // A line as a fresh add without a full name stores it.
  void expect_new_account_line(const std::string& line) {
    std::vector<std::string> f = fields_of(line);
    ASSERT_EQ(f.size(), 7u) << line;
    EXPECT_EQ(f[1].size(), 106u) << line;
    EXPECT_EQ(f[1].rfind("$6$", 0), 0u) << line;
    EXPECT_EQ(f[2] + ":" + f[3] + ":" + f[4] + ":" + f[6], "1:0:" + f[0] + ":NOQUOTA") << line;
    EXPECT_EQ(f[5].rfind(domain_dir + "/", 0), 0u) << line;
    EXPECT_EQ(f[5].substr(f[5].rfind('/') + 1), f[0]) << line;
  }

  void expect_no_temporary_files() {
    for (const std::string& name : names_in(domain_dir)) {
      EXPECT_NE(name.rfind("tpasswd.bak", 0), 0u) << name;
      EXPECT_NE(name, "cdb.tmp");
    }
  }

  std::string domain_dir;
};

struct stat status_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST_F(TesseraUserTest, NewAccountHasItsLineMaildirAndLastLoginRecord) {
  ok({"user", "add", "Joe@Example.COM", "first secret", "Joe Bloggs"});
  ok({"user", "add", "bob@example.com", "pw"});
  std::string joe_dir = domain_dir + "/joe";
  std::vector<std::string> show = lines_of(tessera({"user", "show", "joe@example.com"}).out);
  ASSERT_EQ(show.size(), 4u);
  std::vector<std::string> f = fields_of(show[0]);
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(show[0], "joe:" + f[1] + ":1:0:Joe Bloggs:" + joe_dir + ":NOQUOTA");
  EXPECT_EQ(openssl_sha512_crypt(f[1], "first secret"), f[1]);
  EXPECT_EQ(show[1], "flags: 0x0");
  EXPECT_EQ(show[2], "quota: 0%");
  EXPECT_EQ(show[3], "last login: never");
  EXPECT_EQ(read_file(joe_dir + "/lastauth"), "0.0.0.0");
  for (const char* dir : {"", "/Maildir", "/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) {
    struct stat st = status_of(joe_dir + dir);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
    EXPECT_EQ(st.st_uid, 89u) << dir;
    EXPECT_EQ(st.st_gid, 89u) << dir;
  }
  std::vector<std::string> listed = lines_of(tessera({"user", "list", "example.com"}).out);
  ASSERT_EQ(listed.size(), 2u);
  expect_new_account_line(listed[0]);
  EXPECT_EQ(name_of(listed[0]), "bob");
  EXPECT_EQ(listed[1], show[0]);
  EXPECT_EQ(tpasswd(), listed[0] + "\n" + listed[1] + "\n");
  expect_index_matches_text();

  write_file(joe_dir + "/lastauth", "");  // a login record without an address
  EXPECT_EQ(lines_of(tessera({"user", "show", "joe@example.com"}).out).at(3), "last login: never");
  ASSERT_EQ(unlink((joe_dir + "/lastauth").c_str()), 0);  // never logged in
  EXPECT_EQ(lines_of(tessera({"user", "show", "joe@example.com"}).out).at(3), "last login: never");

  ok({"user", "del", "JOE@example.com"});
  EXPECT_FALSE(file_exists(joe_dir));
  EXPECT_EQ(tpasswd(), listed[0] + "\n");
  expect_index_matches_text();
}

TEST_F(TesseraUserTest, PasswordAndQuotaChangesRewriteOnlyTheirField) {
  ok({"user", "add", "joe@example.com", "first secret"});
  ok({"user", "add", "zed@example.com", "pw"});
  std::string zed = lines_of(tpasswd())[1];
  struct Case {
    std::vector<std::string> words;
    size_t field;
    std::string stored;  // "" for a password: checked with openssl instead
    std::string said;    // the line on stdout
  } cases[] = {
      {{"passwd", "joe@example.com", "second secret"}, 1, "", "password changed"},
      {{"quota", "joe@example.com", "10MB"}, 6, "10485760S", "quota set to 10485760S"},
      {{"quota", "joe@example.com", "500k,1000C"}, 6, "512000S,1000C", "quota set to 512000S,1000C"},
      {{"quota", "JOE@example.com", "1G"}, 6, "1073741824S", "quota set to 1073741824S"},
      {{"quota", "joe@example.com", "1GB"}, 6, "1073741824S", "quota set to 1073741824S"},
      {{"quota", "joe@example.com", "2t"}, 6, "2199023255552S", "quota set to 2199023255552S"},
      {{"quota", "joe@example.com", "NOQUOTA"}, 6, "NOQUOTA", "quota set to NOQUOTA"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> before = fields_of(lines_of(tpasswd())[0]);
    std::vector<std::string> words = {"user"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunResult r = tessera(words);
    ASSERT_EQ(r.status, 0) << c.words[2] << ": " << r.err;
    EXPECT_EQ(r.out, "joe@example.com: " + c.said + "\n");
    std::vector<std::string> after = fields_of(lines_of(tpasswd())[0]);
    ASSERT_EQ(after.size(), 7u) << c.words[2];
    if (c.stored.empty()) {
      EXPECT_NE(after[1], before[1]);
      EXPECT_EQ(openssl_sha512_crypt(after[1], c.words[2]), after[1]);
    } else {
      EXPECT_EQ(after[c.field], c.stored) << c.words[2];
    }
    after[c.field] = before[c.field];
    EXPECT_EQ(after, before) << c.words[2];
    EXPECT_EQ(lines_of(tpasswd())[1], zed) << c.words[2];
    // Rewrites run with the caller's umask (022 here); crypted passwords stay private.
    EXPECT_EQ(status_of(domain_dir + "/tpasswd").st_mode & 07777, 0600u) << c.words[2];
    expect_index_matches_text();
  }
}

TEST_F(TesseraUserTest, RefusalsPrintTheStoreMessageAndChangeNothing) {
  ok({"user", "add", "joe@example.com", "pw"});
  ok({"alias", "add", "info@example.com", "joe@example.com"});
  std::string kept = tpasswd();
  struct Case {
    std::vector<std::string> words;
    std::string err;
  } cases[] = {
      {{"add", "joe@example.com", "x"}, "Username exists\n"},
      {{"add", "JOE@example.com", "x"}, "Username exists\n"},
      // Mail for info follows its alias file, never a mailbox.
      {{"add", "info@example.com", "x"}, "Username exists\n"},
      {{"add", "j@example.com", "x"}, "Illegal username\n"},
      // A new name never looks like the store's hidden work (".NAME.PID").
      {{"add", ".keep.99999999@example.com", "x"}, "Illegal username\n"},
      {{"add", ".x@example.com", "x"}, "Illegal username\n"},
      {{"add", std::string(33, 'a') + "@example.com", "x"}, "user name too long\n"},
      {{"add", "ann@example.com", "x", "Ann:Other"}, "bad character\n"},
      {{"add", "ann@example.com", "x", std::string(49, 'g')}, "gecos too long\n"},
      {{"add", "ann@example.com", std::string(129, 'p')}, "password too long\n"},
      {{"add", "ann@nowhere.net", "x"}, "Domain does not exist\n"},
      // The account's directory would be the password file itself.
      {{"add", "tpasswd@example.com", "x"}, "User's directory already exists\n"},
      {{"del", "ghost@example.com"}, "User does not exist\n"},
      {{"show", "ghost@example.com"}, "User does not exist\n"},
      {{"passwd", "ghost@example.com", "x"}, "Illegal username\n"},
      {{"quota", "ghost@example.com", "1MB"}, "User does not exist\n"},
      {{"quota", "joe@example.com", "123456789012S,1234567890C"}, "quota too long\n"},
      // A quota text is read as the pages read it; what they refuse, so does the tool.
      {{"quota", "joe@example.com", "lots"}, "quota not understood: lots\n"},
      {{"quota", "joe@example.com", "1X"}, "quota not understood: 1X\n"},
      {{"quota", "joe@example.com", "1000c"}, "quota not understood: 1000c\n"},
      {{"list", "nowhere.net"}, "Domain does not exist\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = {"user"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunResult r = tessera(words);
    EXPECT_EQ(r.status, 1) << c.words[1];
    EXPECT_EQ(r.err, c.err) << c.words[1];
    EXPECT_EQ(r.out, "") << c.words[1];
  }
  EXPECT_EQ(tpasswd(), kept);
  EXPECT_EQ(names_in(domain_dir).count("ann"), 0u);
  for (std::vector<std::string> words : std::vector<std::vector<std::string>>{
           {"user"}, {"user", "add", "ann@example.com"}, {"user", "show"}, {"user", "list"},
           {"user", "quota", "joe@example.com"}, {"user", "rename", "joe@example.com", "x"}}) {
    RunResult r = tessera(words);
    EXPECT_EQ(r.status, 2) << words.size();
    EXPECT_NE(r.err.find("usage: tessera"), std::string::npos) << r.err;
  }
}

const char kNoTerminal[] =
    "tessera: no PASSWORD, and standard input is no terminal to ask on: give - and the "
    "password on standard input\nusage: tessera";

TEST_F(TesseraUserTest, PasswordComesFromStandardInputOrTheTerminal) {
  struct Case {
    std::vector<std::string> words;
    std::string input;
    int status;
    std::string err;       // for status 2, how it begins
    std::string password;  // joe's afterwards
  } cases[] = {
      {{"add", "joe@example.com", "-"}, "first secret\n", 0, "", "first secret"},
      {{"passwd", "joe@example.com", "-"}, "second, secret", 0, "", "second, secret"},
      {{"add", "ann@example.com", "-", "Ann"}, "", 1, "tessera: no password on standard input\n",
       "second, secret"},
      {{"passwd", "joe@example.com", "-"}, std::string("a\0b\n", 4), 1,
       "tessera: the password holds a NUL byte\n", "second, secret"},
      {{"passwd", "joe@example.com"}, "x\n", 2, kNoTerminal, "second, secret"},
      {{"add", "ann@example.com"}, "x\n", 2, kNoTerminal, "second, secret"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = {"user"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunResult r = tessera(words, c.input);
    EXPECT_EQ(r.status, c.status) << c.words[0] << " " << c.input;
    EXPECT_EQ(c.status == 2 ? r.err.substr(0, c.err.size()) : r.err, c.err) << c.input;
    std::string stored = fields_of(lines_of(tpasswd()).at(0))[1];
    EXPECT_EQ(openssl_sha512_crypt(stored, c.password), stored) << c.input;
  }
  EXPECT_EQ(stored_names(), std::vector<std::string>{"joe"});

  // On a terminal: asked twice, never echoed; two answers that differ
  // change nothing.
  for (const char* again : {"typed secret", "other secret"}) {
    RunOptions options;
    options.argv = {"/usr/bin/python3", "-c",
                    "import os, pty, select, sys\n"
                    "pid, fd = pty.fork()\n"
                    "if pid == 0: os.execv(sys.argv[1], sys.argv[1:])\n"
                    "out = b''\n"
                    "def until(text):\n"
                    "  global out\n"
                    "  while text not in out and select.select([fd], [], [], 10)[0]:\n"
                    "    try: data = os.read(fd, 1024)\n"
                    "    except OSError: return\n"
                    "    if not data: return\n"
                    "    out += data\n"
                    "until(b'New password: ')\n"
                    "os.write(fd, b'typed secret\\n')\n"
                    "until(b'Again: ')\n"
                    "os.write(fd, sys.stdin.read().encode() + b'\\n')\n"
                    "until(b'never printed')\n"
                    "status = os.waitpid(pid, 0)[1]\n"
                    "print(os.waitstatus_to_exitcode(status), out.decode().replace('\\r', ''))\n",
                    build_output("tessera"), "--root", box.root(), "user", "passwd",
                    "joe@example.com"};
    options.env = {"PATH=/usr/bin:/bin"};
    options.input = again;
    RunResult r = run_program(options);
    bool same = std::string(again) == "typed secret";
    EXPECT_EQ(r.out, same ? "0 New password: \nAgain: \njoe@example.com: password changed\n\n"
                          : "1 New password: \nAgain: \ntessera: the two passwords differ; "
                            "nothing changed\n\n")
        << r.err;
    std::string stored = fields_of(lines_of(tpasswd()).at(0))[1];
    EXPECT_EQ(openssl_sha512_crypt(stored, "typed secret"), stored) << again;
  }
}

TEST_F(TesseraUserTest, ConcurrentWritersEnterAndRemoveEveryAccountOnce) {
  std::vector<std::string> adders, deleters, names;
  for (int p = 0; p < 8; ++p) {
    std::string mailboxes;
    for (int n = 10; n < 60; ++n) {
      std::string name = "p" + std::to_string(p) + "n" + std::to_string(n);
      names.push_back(name);
      mailboxes += " " + name + "@example.com";
    }
    std::string loop = "for a in" + mailboxes + "; do " + tool();
    adders.push_back(loop + " user add $a pw >/dev/null || echo FAILED $a; done");
    deleters.push_back(loop + " user del $a >/dev/null || echo FAILED $a; done");
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(run_at_once(adders).out, "");
  EXPECT_EQ(stored_names(), names);  // each once, in name order
  std::vector<std::string> dirs;
  for (const std::string& line : lines_of(tpasswd())) {
    expect_new_account_line(line);
    dirs.push_back(fields_of(line)[5]);
    for (const char* sub : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) {
      EXPECT_TRUE(file_exists(dirs.back() + sub)) << dirs.back() << sub;
    }
  }
  expect_index_matches_text();
  expect_no_temporary_files();
  std::vector<std::string> shown = lines_of(tessera({"user", "show", "p7n59@example.com"}).out);
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0], lines_of(tpasswd()).back());

  EXPECT_EQ(run_at_once(deleters).out, "");
  EXPECT_EQ(tpasswd(), "");
  expect_index_matches_text();
  expect_no_temporary_files();
  for (const std::string& dir : dirs) EXPECT_FALSE(file_exists(dir)) << dir;
}

TEST_F(TesseraUserTest, ConcurrentAddersOfOneAddressLeaveOneLine) {
  std::string add = tool() + " user add same@example.com pw 2>&1; echo \"status $?\"";
  RunResult r = run_at_once({add, add, add, add});
  std::map<std::string, int> outcomes;
  for (const std::string& line : lines_of(r.out)) ++outcomes[line];
  EXPECT_EQ(outcomes["status 0"], 1) << r.out;
  EXPECT_EQ(outcomes["status 1"], 3) << r.out;
  EXPECT_EQ(stored_names(), std::vector<std::string>{"same"});
  expect_index_matches_text();
  // A loser cleans up only a directory it made itself, never the winner's.
  EXPECT_TRUE(file_exists(fields_of(lines_of(tpasswd())[0])[5] + "/Maildir/new"));
}

// Starts `script` in a process group of its own, so one signal reaches the
// shell and the tool it is running.
pid_t start_group(const std::string& script) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

TEST_F(TesseraUserTest, KilledAddsLeaveACompleteSortedFileThatTheNextAddIndexes) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_ms(2, 60);
  for (int round = 0; round < 50; ++round) {
    std::string r = std::to_string(round);
    pid_t stream = start_group("i=0; while :; do " + tool() + " user add k" + r +
                               "x$i@example.com pw >/dev/null 2>&1; i=$((i+1)); done");
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    ASSERT_EQ(kill(-stream, SIGKILL), 0);
    waitpid(stream, nullptr, 0);

    std::string text = tpasswd();
    ASSERT_TRUE(text.empty() || text.back() == '\n') << "round " << round;
    std::vector<std::string> names = stored_names();
    EXPECT_TRUE(std::adjacent_find(names.begin(), names.end(),
                                   std::greater_equal<std::string>()) == names.end())
        << "round " << round;
    for (const std::string& line : lines_of(text)) expect_new_account_line(line);
    if (HasFailure()) return;

    ASSERT_NO_FATAL_FAILURE(ok({"user", "add", "after" + r + "@example.com", "pw"}));
    expect_index_matches_text();
  }
}

}  // namespace

// Writers killed at random moments: every command that changes the store
// is killed (SIGKILL, with the programs it runs) 50 times at a moment drawn
// within its own measured run time. After each kill the files it touches
// are whole, the old or the new; `tessera check --repair` then leaves a
// store that `tessera check` passes, and the object the command worked on
// works (or, when it is gone, can be made again).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/tessera_cli.h"

namespace {

constexpr int kKills = 50;

using Clock = std::chrono::steady_clock;

// Runs a program in a process group of its own and kills the whole group
// after `delay` unless it has ended by then. Its input (small enough for a
// pipe's buffer) waits in a pipe; its outputs go nowhere.
void run_and_kill(const RunOptions& options, std::chrono::microseconds delay) {
  int input[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(write(input[1], options.input.data(), options.input.size()),
            static_cast<ssize_t>(options.input.size()));
  close(input[1]);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    dup2(input[0], 0), dup2(null, 1), dup2(null, 2);
    if (!options.workdir.empty() && chdir(options.workdir.c_str()) != 0) _exit(127);
    std::vector<char*> argv, env;
    for (const std::string& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : options.env) env.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr), env.push_back(nullptr);
    execve(argv[0], argv.data(), env.data());
    _exit(127);
  }
  close(input[0]);
  setpgid(pid, pid);
  std::this_thread::sleep_for(delay);
  kill(-pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

class KilledWriters : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    write_file(box.path("/usr/local/tessera/etc/tlimits.default"), "# no limits\n");
    write_file(box.www() + "/larkspur.acl", "admins * alice\n");
    for (const char* page : {"main.html", "init_error.html", "error.html", "ctrl_file.html",
                             "qmail_controls_top.html", "qmail_controls_middle.html",
                             "qmail_controls_bottom.html"}) {
      write_file(box.www() + "/html/" + page, "X\n");
    }
  }

  RunOptions tessera_options(const std::vector<std::string>& words) {
    RunOptions options;
    options.argv = {build_output("tessera"), "--root", box.root()};
    options.argv.insert(options.argv.end(), words.begin(), words.end());
    options.env = {"PATH=/usr/bin:/bin"};
    return options;
  }

  // A changing page runs only from a POST: the form goes as the body.
  RunOptions cgi_options(const std::string& form) {
    RunOptions options;
    options.argv = {build_output("larkspur-sandbox.cgi")};
    options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=POST",
                   "CONTENT_LENGTH=" + std::to_string(form.size()), "LARKSPUR_ROOT=" + box.root(),
                   "PATH=/usr/bin:/bin"};
    options.input = form;
    options.workdir = box.www();
    return options;
  }

  // The run time of a whole run, to draw kill moments from.
  std::chrono::microseconds timed(const RunOptions& options) {
    Clock::time_point start = Clock::now();
    RunResult r = run_program(options);
    EXPECT_EQ(r.status, 0) << options.argv.back() << ": " << r.err;
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    return std::max(took, std::chrono::microseconds(1));
  }

  void kill_within(const RunOptions& options, std::chrono::microseconds span) {
    std::uniform_int_distribution<int64_t> moment(0, span.count());
    run_and_kill(options, std::chrono::microseconds(moment(random_)));
  }

  // Every table and password file is whole: ended lines that parse.
  void expect_whole_files(const std::string& when) {
    SCOPED_TRACE(when);
    std::string assign = read_file(box.path("/var/qmail/users/assign"));
    if (!assign.empty()) {
      std::vector<std::string> lines = lines_of(assign);
      EXPECT_EQ(assign.back(), '\n');
      EXPECT_EQ(lines.back(), ".");
      for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ':'), 7) << lines[i];
        EXPECT_EQ(lines[i].rfind("+", 0), 0u) << lines[i];
      }
    }
    for (const char* table : {"rcpthosts", "morercpthosts", "virtualdomains", "locals"}) {
      std::string text = read_file(box.path("/var/qmail/control/") + table);
      if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << table;
      }
    }
    for (const std::string& line : lines_of(assign)) {
      size_t end = line.rfind(":-::");
      if (line == "." || end == std::string::npos) continue;
      std::string dir = line.substr(line.rfind(':', end - 1) + 1);
      dir = dir.substr(0, dir.find(':'));
      std::string passwd = read_file(dir + "/tpasswd");
      if (!passwd.empty()) {
        EXPECT_EQ(passwd.back(), '\n') << dir;
      }
      for (const std::string& entry : lines_of(passwd)) {
        EXPECT_GE(std::count(entry.begin(), entry.end(), ':'), 6) << entry;
      }
      std::string control = read_file(dir + "/.dir-control");
      if (!control.empty()) {
        EXPECT_EQ(lines_of(control).size(), 8u) << dir;
      }
      std::string free_list = dir + "/.dir_control_free";
      // Missing only while its whole old text waits under the backup name.
      if (!file_exists(free_list) && file_exists(free_list + ".bak")) continue;
      std::string free_text = read_file(free_list);
      if (!free_text.empty()) {
        EXPECT_EQ(free_text.back(), '\n') << dir;
      }
    }
  }

  // check --repair, after which check finds nothing.
  void repair_and_check(const std::string& when) {
    SCOPED_TRACE(when);
    tessera({"check", "--repair"});
    RunResult after = tessera({"check"});
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(after.out, "store consistent\n");
  }

  bool domain_present(const std::string& name) {
    return tessera({"domain", "show", name}).status == 0;
  }
  bool user_present(const std::string& address) {
    return tessera({"user", "show", address}).status == 0;
  }

  // A mailbox that works: shown, with its whole maildir.
  void expect_mailbox_works(const std::string& address) {
    RunResult shown = tessera({"--json", "user", "show", address});
    ASSERT_EQ(shown.status, 0) << address << shown.err;
    size_t at = shown.out.find("\"dir\":\"");
    ASSERT_NE(at, std::string::npos) << shown.out;
    std::string dir = shown.out.substr(at + 7, shown.out.find('"', at + 7) - at - 7);
    for (const char* part : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) {
      EXPECT_TRUE(file_exists(dir + part)) << dir << part;
    }
  }

  std::mt19937_64 random_{std::random_device{}()};
};

TEST_F(KilledWriters, DomainAdd) {
  auto span = timed(tessera_options({"domain", "add", "first.test"}));
  for (int i = 0; i < kKills; ++i) {
    std::string name = "d" + std::to_string(i) + ".test";
    kill_within(tessera_options({"domain", "add", name}), span);
    expect_whole_files("domain add " + name);
    repair_and_check("domain add " + name);
    if (!domain_present(name)) ok({"domain", "add", name});
    ok({"user", "add", "pm@" + name, "secret"});
    expect_mailbox_works("pm@" + name);
  }
}

TEST_F(KilledWriters, DomainDel) {
  std::chrono::microseconds span{0};
  for (int i = 0; i < kKills; ++i) {
    std::string name = "e" + std::to_string(i) + ".test";
    std::string alias = "alias" + std::to_string(i) + ".test";
    ok({"domain", "add", name});
    ok({"user", "add", "um@" + name, "secret"});
    // Every fifth has an alias (each alias costs a signal to qmail-send).
    bool aliased = i % 5 == 1;
    if (aliased) ok({"domain", "alias", alias, name});
    if (i == 0) {
      span = timed(tessera_options({"domain", "del", name}));
      continue;
    }
    kill_within(tessera_options({"domain", "del", name}), span);
    expect_whole_files("domain del " + name);
    repair_and_check("domain del " + name);
    if (domain_present(name)) {
      expect_mailbox_works("um@" + name);
      EXPECT_TRUE(!aliased || domain_present(alias));
    } else {
      EXPECT_FALSE(aliased && domain_present(alias));
      EXPECT_FALSE(file_exists(box.path("/usr/local/tessera/domains/") + name));
      EXPECT_EQ(read_file(box.path("/var/qmail/control/virtualdomains")).find(name + ":"),
                std::string::npos);
    }
  }
}

TEST_F(KilledWriters, UserAdd) {
  ok({"domain", "add", "u.test"});
  auto span = timed(tessera_options({"user", "add", "first@u.test", "secret"}));
  for (int i = 0; i < kKills; ++i) {
    std::string address = "n" + std::to_string(i) + "@u.test";
    kill_within(tessera_options({"user", "add", address, "secret"}), span);
    expect_whole_files("user add " + address);
    repair_and_check("user add " + address);
    if (!user_present(address)) ok({"user", "add", address, "secret"});
    expect_mailbox_works(address);
    // Every fourth goes again, so that later ones reuse its sub-directory.
    if (i % 4 == 0) ok({"user", "del", address});
  }
}

TEST_F(KilledWriters, UserDel) {
  ok({"domain", "add", "v.test"});
  ok({"user", "add", "first@v.test", "secret"});
  auto span = timed(tessera_options({"user", "del", "first@v.test"}));
  for (int i = 0; i < kKills; ++i) {
    std::string address = "w" + std::to_string(i) + "@v.test";
    ok({"user", "add", address, "secret"});
    kill_within(tessera_options({"user", "del", address}), span);
    expect_whole_files("user del " + address);
    repair_and_check("user del " + address);
    if (user_present(address)) {
      expect_mailbox_works(address);
    } else {
      ok({"user", "add", address, "secret"});
      expect_mailbox_works(address);
    }
  }
}

TEST_F(KilledWriters, LimitsSet) {
  ok({"domain", "add", "l.test"});
  const std::string limits = box.path("/usr/local/tessera/domains/l.test/.kestrel-limits");
  std::vector<std::string> sources, texts;
  for (const char* text : {"maxpopaccounts: 5\ndisable_pop\n", "quota: 7\ndisable_imap\n"}) {
    sources.push_back(fs_temp_plain_file(text));
    ok({"limits", "set", "l.test", sources.back()});
    texts.push_back(read_file(limits));
  }
  auto span = timed(tessera_options({"limits", "set", "l.test", sources[0]}));
  for (int i = 0; i < kKills; ++i) {
    kill_within(tessera_options({"limits", "set", "l.test", sources[i % 2]}), span);
    std::string now = read_file(limits);
    EXPECT_TRUE(now == texts[0] || now == texts[1]) << now;
    repair_and_check("limits set " + std::to_string(i));
    ok({"limits", "show", "l.test"});
  }
  for (const std::string& source : sources) unlink(source.c_str());
}

TEST_F(KilledWriters, ModifyFile) {
  const std::string me = box.path("/var/qmail/control/me");
  // Long enough that writing it takes a moment of its own.
  std::string words[2];
  for (int i = 0; i < 400; ++i) words[0] += "mail" + std::to_string(i) + "+";
  for (int i = 0; i < 400; ++i) words[1] += "host" + std::to_string(i) + "+";
  auto query = [&](int which) {
    return "nav=modify_file&file_name=me&tarea=" + words[which];
  };
  std::string texts[2];
  timed(cgi_options(query(1)));
  texts[1] = read_file(me);
  auto span = timed(cgi_options(query(0)));
  texts[0] = read_file(me);
  ASSERT_NE(texts[0], texts[1]);
  for (int i = 0; i < kKills; ++i) {
    kill_within(cgi_options(query(i % 2)), span);
    std::string now = read_file(me);
    EXPECT_TRUE(now == texts[0] || now == texts[1]) << now.substr(0, 40);
    repair_and_check("modify_file " + std::to_string(i));
  }
}

}  // namespace

// A delivery killed at any moment leaves only whole messages in Maildir/new
// (a partial one can only be in tmp/), and every delivery reported done
// before it is still there, byte for byte; the maildirsize usage lines stay
// whole lines.
TEST_F(KilledWriters, Delivery) {
  ok({"domain", "add", "d.test"});
  ok({"user", "add", "joe@d.test", "secret"});
  ok({"user", "quota", "joe@d.test", "100M"});
  const std::string dir = box.path("/usr/local/tessera/domains/d.test");
  const std::string head = "Return-Path: <a@b.test>\nDelivered-To: d.test-joe@d.test\n";
  auto delivery = [&](int n) {
    RunOptions options;
    options.argv = {build_output("tdelivermail-sandbox"), "", "bounce-no-mailbox"};
    options.env = {"LARKSPUR_ROOT=" + box.root(), "HOST=d.test", "EXT=joe", "SENDER=a@b.test",
                   "DTLINE=Delivered-To: d.test-joe@d.test\n", "RPLINE=Return-Path: <a@b.test>\n"};
    // Large enough that writing it takes a moment, small enough for a pipe.
    options.input = "Subject: " + std::to_string(n) + "\n\n" + std::string(40000, 'x') + "\n";
    options.workdir = dir;
    return options;
  };
  std::set<std::string> reported, killed;
  auto span = timed(delivery(-1));
  reported.insert(head + delivery(-1).input);
  for (int i = 0; i < kKills; ++i) {
    kill_within(delivery(i), span);
    killed.insert(head + delivery(i).input);
    RunOptions done = delivery(kKills + i);
    ASSERT_EQ(run_program(done).status, 0);
    reported.insert(head + done.input);
    std::set<std::string> found;
    for (const std::string& name : names_in(dir + "/joe/Maildir/new")) {
      std::string text = read_file(dir + "/joe/Maildir/new/" + name);
      EXPECT_TRUE(killed.count(text) || reported.count(text)) << i << " " << name;
      EXPECT_TRUE(name.ends_with(",S=" + std::to_string(text.size()))) << name;
      found.insert(text);
    }
    for (const std::string& text : reported) EXPECT_TRUE(found.count(text)) << i;
    std::string usage = read_file(dir + "/joe/Maildir/maildirsize");
    if (!usage.empty()) {
      EXPECT_EQ(usage.back(), '\n') << i;
    }
  }
}

// The delivery program as qmail-local runs it: the environment, the
// .qmail-default line's two arguments and the message on standard input,
// over a sandbox store made with tessera. Each case plants what it needs
// and checks the exit status, the reason qmail would quote, what reached
// joe's Maildir/new and what reached the qmail-queue stand-in.
#include <sys/stat.h>

#include <functional>

#include "tests/tessera_cli.h"

namespace {

const std::string kMessage = "From: someone@example.org\nSubject: hello\n\nbody\n";
const std::string kHead =
    "Return-Path: <someone@example.org>\nDelivered-To: example.com-joe@example.com\n";

class Delivery : public TesseraSandboxTest {
 public:
  using TesseraSandboxTest::box;
  using TesseraSandboxTest::ok;
  using TesseraSandboxTest::tessera;
  void TestBody() override {}
  void SetUp() override {
    dir = add_domain("example.com");
    ok({"user", "add", "joe@example.com", "secret"});
    ok({"domain", "alias", "alias.test", "example.com"});
  }
  std::string joe(const std::string& rest) { return dir + "/joe/" + rest; }
  std::string spool(const std::string& name) { return box.path("/var/qmail/queue-standin/") + name; }
  // joe's password line with another flag word; the next lookup rebuilds
  // the index from it.
  void set_flags(const std::string& gid) {
    std::vector<std::string> f = fields_of(lines_of(read_file(dir + "/tpasswd")).at(0));
    f.at(3) = gid;
    std::string line = f[0];
    for (size_t i = 1; i < f.size(); ++i) line += ":" + f[i];
    write_file(dir + "/tpasswd", line + "\n");
    unlink((dir + "/tpasswd.cdb").c_str());
  }
  std::string dir;
};

struct DeliveryCase {
  const char* name;
  std::function<void(Delivery&)> plant;
  std::string argument;              // the second argument
  std::vector<std::string> env;      // replaces the usual NAME=value
  std::string message;
  int status;
  std::string reason;                // stderr's first line
  size_t delivered;                  // messages in joe's Maildir/new
  std::string queued;                // the stand-in's 1.env ("" none)
  std::string shell = "";            // run as sh -c SHELL, $0 the program
};

const char* kBounce = "bounce-no-mailbox";

std::vector<DeliveryCase> cases() {
  const std::string joe_env = std::string("Fsomeone@example.org\0Tjoe@else.test\0\0", 37);
  return {
      {"delivered", nullptr, kBounce, {}, kMessage, 0, "", 1, ""},
      {"default names the mailbox, capitals and all", nullptr, kBounce, {"EXT=", "DEFAULT=JOE"},
       kMessage, 0, "", 1, ""},
      {"through the .qmail-default line", nullptr, kBounce, {}, kMessage, 0, "", 1, "",
       "exec $(sed -n 's/^| //p' .qmail-default)"},
      {"alias domain", nullptr, kBounce, {"HOST=Alias.Test"}, kMessage, 0, "", 1, ""},
      {"no mailbox, bounce", nullptr, kBounce, {"EXT=bob"}, kMessage, 100,
       "Sorry, no mailbox here by that name. (#5.1.1)", 0, ""},
      {"no mailbox, delete", nullptr, "delete-no-mailbox", {"EXT=bob"}, kMessage, 0, "", 0, ""},
      {"no mailbox, catch-all path", nullptr, "CATCHALL", {"EXT=bob"}, kMessage, 0, "", 1, ""},
      {"no mailbox, catch-all address", nullptr, "joe@else.test", {"EXT=bob"}, kMessage, 0, "", 0,
       joe_env},
      {"no mailbox, argument of no known form", nullptr, "@else.test", {"EXT=bob"}, kMessage, 111,
       "The domain's .qmail-default names no known action for unknown recipients. (#4.3.5)", 0,
       ""},
      {"bounce_mail", [](Delivery& t) { t.set_flags("16"); }, kBounce, {}, kMessage, 100,
       "Sorry, this mailbox does not accept mail. (#5.2.1)", 0, ""},
      {"loop", nullptr, kBounce, {},
       "DELIVERED-TO: example.com-joe@example.com\r\n" + kMessage, 100,
       "This message is looping: it already has my Delivered-To line. (#5.4.6)", 0, ""},
      {"the line in a body is no loop", nullptr, kBounce, {},
       kMessage + "Delivered-To: example.com-joe@example.com\n", 0, "", 1, ""},
      {"over quota", [](Delivery& t) { t.ok({"user", "quota", "joe@example.com", "50S"}); },
       kBounce, {}, kMessage, 100, "The mailbox is over its quota. (#5.2.2)", 0, ""},
      {"over quota, count",
       [](Delivery& t) {
         write_file(t.joe("Maildir/cur/1.M1P1.x,S=10:2,S"), "x");
         t.ok({"user", "quota", "joe@example.com", "5000S,1C"});
       },
       kBounce, {}, kMessage, 100, "The mailbox is over its quota. (#5.2.2)", 0, ""},
      {"over quota, small bounce", [](Delivery& t) { t.ok({"user", "quota", "joe@example.com", "50S"}); },
       kBounce, {"SENDER=", "RPLINE=Return-Path: <someone@example.org>\n"}, kMessage, 0, "", 1, ""},
      {"over quota, large bounce", [](Delivery& t) { t.ok({"user", "quota", "joe@example.com", "50S"}); },
       kBounce, {"SENDER="}, kMessage + std::string(2048, 'x'), 100,
       "The mailbox is over its quota. (#5.2.2)", 0, ""},
      {".qmail forward", [](Delivery& t) { write_file(t.joe(".qmail"), "# away\n&joe@else.test\n"); },
       kBounce, {}, kMessage, 0, "", 0, joe_env},
      {".qmail maildir and forward",
       [](Delivery& t) { write_file(t.joe(".qmail"), "./Maildir/\njoe@else.test\n"); }, kBounce, {},
       kMessage, 0, "", 1, joe_env},
      {"tessera forward --keep delivers a copy and queues one",
       [](Delivery& t) { t.ok({"user", "forward", "joe@example.com", "joe@else.test", "--keep"}); },
       kBounce, {}, kMessage, 0, "", 1, joe_env},
      {".qmail command reads the message",
       [](Delivery& t) { write_file(t.joe(".qmail"), "|cat > got && grep -q body got\n./Maildir/\n"); },
       kBounce, {}, kMessage, 0, "", 1, ""},
      {".qmail command 99 stops", [](Delivery& t) { write_file(t.joe(".qmail"), "|exit 99\n./Maildir/\n"); },
       kBounce, {}, kMessage, 99, "", 0, ""},
      {".qmail command 100 bounces",
       [](Delivery& t) { write_file(t.joe(".qmail"), "|echo no thanks; exit 100\n./Maildir/\n"); },
       kBounce, {}, kMessage, 100, "no thanks", 0, ""},
      {".qmail command 111 defers", [](Delivery& t) { write_file(t.joe(".qmail"), "|exit 111\n"); },
       kBounce, {}, kMessage, 111, "The .qmail program failed (exit 111). (#4.3.0)", 0, ""},
      {".qmail mbox line defers before delivering",
       [](Delivery& t) { write_file(t.joe(".qmail"), "./Maildir/\n./mbox\n"); }, kBounce, {},
       kMessage, 111,
       "The mailbox's .qmail names an mbox file, which this program does not write. (#4.2.1)", 0,
       ""},
      {".qmail as a link is not followed",
       [](Delivery& t) {
         write_file(t.dir + "/elsewhere", "&joe@else.test\n");
         symlink((t.dir + "/elsewhere").c_str(), t.joe(".qmail").c_str());
       },
       kBounce, {}, kMessage, 0, "", 1, ""},
      {"unreadable tpasswd.cdb", [](Delivery& t) { write_file(t.dir + "/tpasswd.cdb", "short"); },
       kBounce, {}, kMessage, 111, "Cannot read the mailbox store. (#4.3.0)", 0, ""},
      {"unreadable users/cdb",
       [](Delivery& t) { unlink(t.box.path("/var/qmail/users/cdb").c_str()); }, kBounce, {},
       kMessage, 111, "Cannot read the mailbox store. (#4.3.0)", 0, ""},
      {"disk full while writing", nullptr, kBounce, {}, kMessage, 111,
       "The disk holding the mailbox is full. (#4.3.0)", 0, "",
       "cat > ../message; ulimit -f 0; trap '' XFSZ; exec \"$0\" '' bounce-no-mailbox < ../message"},
      {"planted link at Maildir/new",
       [](Delivery& t) {
         std::string fresh = t.joe("Maildir/new");
         rename(fresh.c_str(), t.joe("elsewhere").c_str());
         symlink(t.joe("elsewhere").c_str(), fresh.c_str());
       },
       kBounce, {}, kMessage, 111, "The mailbox's Maildir cannot be opened. (#4.2.1)", 0, ""},
  };
}

std::vector<std::string> with(std::vector<std::string> env, const std::vector<std::string>& changes) {
  for (const std::string& change : changes) {
    std::string name = change.substr(0, change.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
    env.push_back(change);
  }
  return env;
}

TEST(DeliveryTest, AsQmailLocalRunsIt) {
  for (const DeliveryCase& c : cases()) {
    Delivery t;
    t.SetUp();
    if (c.plant) c.plant(t);
    std::string argument = c.argument == "CATCHALL" ? t.dir + "/joe/" : c.argument;
    RunOptions run;
    const std::string program = build_output("tdelivermail-sandbox");
    run.argv = c.shell.empty() ? std::vector<std::string>{program, "", argument}
                               : std::vector<std::string>{"/bin/sh", "-c", c.shell, program};
    run.env = with({"PATH=/usr/bin:/bin", "LARKSPUR_ROOT=" + t.box.root(), "HOST=example.com",
                    "EXT=joe", "DEFAULT=joe", "SENDER=someone@example.org",
                    "RECIPIENT=example.com-joe@example.com",
                    "DTLINE=Delivered-To: example.com-joe@example.com\n",
                    "RPLINE=Return-Path: <someone@example.org>\n"},
                   c.env);
    run.input = c.message;
    run.workdir = t.dir;
    RunResult r = run_program(run);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_EQ(lines_of(r.out + r.err).empty() ? "" : lines_of(r.out + r.err)[0], c.reason) << c.name;
    std::set<std::string> fresh = names_in(t.joe("Maildir/new"));
    ASSERT_EQ(fresh.size(), c.delivered) << c.name;
    EXPECT_TRUE(names_in(t.joe("Maildir/tmp")).empty()) << c.name;
    if (file_exists(t.joe("elsewhere"))) {
      EXPECT_TRUE(names_in(t.joe("elsewhere")).empty()) << c.name;
    }
    for (const std::string& name : fresh) {
      std::string text = read_file(t.joe("Maildir/new/") + name);
      EXPECT_EQ(text.substr(text.find("\nDelivered-To:") + 1),
                kHead.substr(kHead.find('\n') + 1) + c.message)
          << c.name;
      EXPECT_TRUE(name.ends_with(",S=" + std::to_string(text.size()))) << c.name << ": " << name;
      struct stat st;
      ASSERT_EQ(stat((t.joe("Maildir/new/") + name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << c.name;
    }
    EXPECT_EQ(read_file(t.spool("1.env")), c.queued) << c.name;
    if (!c.queued.empty()) {
      EXPECT_EQ(read_file(t.spool("1.msg")), "Delivered-To: example.com-joe@example.com\n" + c.message)
          << c.name;
    }
  }
}

// After each delivery into a mailbox with a quota, maildirsize gains one
// "SIZE 1" line; a full mailbox bounces until a message is taken away.
TEST(DeliveryTest, QuotaUsageGrowsByOneLinePerMessage) {
  Delivery t;
  t.SetUp();
  t.ok({"user", "quota", "joe@example.com", "1000S,2C"});
  RunOptions run;
  run.argv = {build_output("tdelivermail-sandbox"), "", kBounce};
  run.env = {"LARKSPUR_ROOT=" + t.box.root(), "HOST=example.com", "EXT=joe", "SENDER=a@b",
             "DTLINE=Delivered-To: example.com-joe@example.com\n", "RPLINE=Return-Path: <a@b>\n"};
  run.input = kMessage;
  const std::string size = std::to_string(kMessage.size() + 61);
  EXPECT_EQ(run_program(run).status, 0);
  EXPECT_EQ(run_program(run).status, 0);
  EXPECT_EQ(read_file(t.joe("Maildir/maildirsize")),
            "1000S,2C\n0 0\n" + size + " 1\n" + size + " 1\n");
  EXPECT_EQ(run_program(run).status, 100);
  EXPECT_EQ(names_in(t.joe("Maildir/new")).size(), 2u);
}

// A mailbox on vacation, its .qmail and vacation folder as the store writes
// them: two messages from one sender get one reply, a list message none,
// and every message still reaches Maildir/new.
TEST(DeliveryTest, VacationReplyOncePerSenderNeverToAList) {
  Delivery t;
  t.SetUp();
  // The vacation as tessera sets it: the .qmail line and the folder the
  // program reads.
  EXPECT_EQ(t.tessera({"user", "vacation", "joe@example.com", "--subject", "Away", "--text", "-"},
                      "Back on Monday.\n").status, 0);
  EXPECT_EQ(read_file(t.joe(".qmail")), "|" + t.box.path("/usr/local/tessera") +
                                            "/bin/tessera-autorespond " + t.dir + "/joe\n./Maildir/\n");
  const std::string to_joe = "From: someone@example.org\nTo: Joe <joe@example.com>\n\nbody\n";
  const std::pair<std::string, std::string> messages[] = {
      {"news@example.org", "List-Id: <news.example.org>\n" + to_joe},
      {"someone@example.org", to_joe},
      {"someone@example.org", to_joe}};
  for (const auto& [sender, message] : messages) {
    RunOptions run;
    run.argv = {build_output("tdelivermail-sandbox"), "", kBounce};
    run.env = {"PATH=/usr/bin:/bin", "LARKSPUR_ROOT=" + t.box.root(), "HOST=example.com",
               "EXT=joe", "SENDER=" + sender, "RECIPIENT=example.com-joe@example.com",
               "DTLINE=Delivered-To: example.com-joe@example.com\n"};
    run.input = message;
    EXPECT_EQ(run_program(run).status, 0);
  }
  EXPECT_EQ(names_in(t.joe("Maildir/new")).size(), 3u);
  EXPECT_EQ(names_in(t.box.path("/var/qmail/queue-standin")),
            (std::set<std::string>{"1.env", "1.msg"}));
  EXPECT_EQ(read_file(t.spool("1.env")), std::string("F\0Tsomeone@example.org\0\0", 24));
  EXPECT_TRUE(read_file(t.spool("1.msg")).starts_with(
      "From: joe@example.com\nTo: someone@example.org\nSubject: Away\n"));
  EXPECT_EQ(lines_of(read_file(t.joe("vacation/replied"))).size(), 1u);
}

}  // namespace

namespace {

// Runs the domain's .qmail-default line for a recipient, as qmail-local does
// for an address of the domain without a .qmail file of its own.
RunResult deliver_to(Delivery& t, const std::string& user) {
  RunOptions run;
  run.argv = {"/bin/sh", "-c", "exec $(sed -n 's/^| //p' .qmail-default)"};
  run.env = {"PATH=/usr/bin:/bin", "LARKSPUR_ROOT=" + t.box.root(), "HOST=example.com",
             "EXT=" + user, "SENDER=someone@example.org",
             "DTLINE=Delivered-To: example.com-" + user + "@example.com\n",
             "RPLINE=Return-Path: <someone@example.org>\n"};
  run.input = kMessage;
  run.workdir = t.dir;
  return run_program(run);
}

// Mail to an alias reaches each of its mailboxes: qmail-local hands its
// "&" lines back to qmail, which delivers each address of the domain
// through the domain's delivery line. A catch-all set to a mailbox takes
// mail for unknown names and keeps that mailbox from being deleted.
TEST(DeliveryTest, AliasAndCatchallReachTheirMailboxes) {
  Delivery t;
  t.SetUp();
  t.ok({"user", "add", "ann@example.com", "secret"});
  t.ok({"alias", "add", "info@example.com", "ann@example.com", "joe@example.com"});
  for (const std::string& line : lines_of(read_file(t.dir + "/.qmail-info"))) {
    ASSERT_TRUE(line.starts_with("&") && line.ends_with("@example.com")) << line;
    EXPECT_EQ(deliver_to(t, line.substr(1, line.find('@') - 1)).status, 0) << line;
  }
  EXPECT_EQ(names_in(t.dir + "/ann/Maildir/new").size(), 1u);
  EXPECT_EQ(names_in(t.joe("Maildir/new")).size(), 1u);

  EXPECT_EQ(deliver_to(t, "nobody").status, 100);
  t.ok({"domain", "catchall", "example.com", "joe"});
  EXPECT_EQ(deliver_to(t, "nobody").status, 0);
  EXPECT_EQ(names_in(t.joe("Maildir/new")).size(), 2u);
  EXPECT_EQ(t.tessera({"user", "del", "joe@example.com"}).err, "can't delete catchall account\n");
  EXPECT_TRUE(file_exists(t.joe("Maildir")));
}

}  // namespace

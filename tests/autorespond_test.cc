// The vacation reply program as a mailbox's .qmail runs it: joe's vacation
// folder written by hand, the program's sandbox twin run with the delivery
// program's environment, and what reached the qmail-queue stand-in, what
// it said on stderr and what the record holds afterwards. It always exits 0.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>

#include "tests/tessera_cli.h"

namespace {

const std::string kMessage =
    "From: Someone <someone@example.org>\nTo: joe@example.com\nSubject: hello\n"
    "Message-ID: <m1@example.org>\n\nbody\n";
const std::string kReplyHead = "From: joe@example.com\nTo: someone@example.org\nSubject: Away\n";
const std::string kReplyTail =
    "Auto-Submitted: auto-replied\nMIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
    "Content-Transfer-Encoding: 8bit\n\nBack on Monday.\n";
const std::string kThread = "In-Reply-To: <m1@example.org>\nReferences: <m1@example.org>\n";
const std::string kReply = kReplyHead + kThread + kReplyTail;
const std::string kNoReply = "";
const time_t kDay = 24 * 60 * 60;

class Vacation : public TesseraSandboxTest {
 public:
  using TesseraSandboxTest::box;
  using TesseraSandboxTest::ok;
  void TestBody() override {}
  void SetUp() override {
    dir = add_domain("example.com");
    ok({"user", "add", "joe@example.com", "secret"});
    joe = dir + "/joe";
    mkdir((joe + "/vacation").c_str(), 0700);
    write_file(file("subject"), "Away\n");
    write_file(file("message"), "Back on Monday.\n");
  }
  std::string file(const std::string& name) { return joe + "/vacation/" + name; }
  RunResult run(const std::vector<std::string>& env, const std::string& message) {
    RunOptions options;
    options.argv = {box.path("/usr/local/tessera/bin/tessera-autorespond"), joe};
    options.env = {"LARKSPUR_ROOT=" + box.root(), "HOST=example.com",
                   "RECIPIENT=example.com-joe@example.com", "SENDER=someone@example.org"};
    for (const std::string& change : env) {
      const std::string name = change.substr(0, change.find('=') + 1);
      std::erase_if(options.env, [&](const std::string& e) { return e.starts_with(name); });
      if (change != name + "-") options.env.push_back(change);
    }
    options.input = message;
    options.workdir = joe;
    return run_program(options);
  }
  std::string dir, joe;
};

struct VacationCase {
  const char* name;
  std::function<void(Vacation&)> plant;
  std::vector<std::string> env;  // changes; "NAME=-" removes NAME
  std::string message;
  std::string note;   // stderr ("" none)
  std::string reply;  // the queued message, its Date and Message-ID values taken out
};

std::string with_header(const std::string& lines) { return lines + kMessage; }

void replied_at(Vacation& t, time_t ago) {
  write_file(t.file("replied"), "ann@example.org 5\nsomeone@example.org " +
                                    std::to_string(time(nullptr) - ago) + "\n");
}

std::vector<VacationCase> cases() {
  const std::string none = "tessera-autorespond-sandbox: no reply: ";
  return {
      {"answered", nullptr, {}, kMessage, "", kReply},
      {"empty sender", nullptr, {"SENDER="}, kMessage, none + "the sender is empty\n", kNoReply},
      {"mailer daemon", nullptr, {"SENDER=Mailer-Daemon@example.org"}, kMessage,
       none + "the sender is a mailer or a list\n", kNoReply},
      {"-request", nullptr, {"SENDER=list-REQUEST@example.org"}, kMessage,
       none + "the sender is a mailer or a list\n", kNoReply},
      {"owner-", nullptr, {"SENDER=OWNER-list@example.org"}, kMessage,
       none + "the sender is a mailer or a list\n", kNoReply},
      {"sender with a line end", nullptr, {"SENDER=a@b\nBcc: x@y"}, kMessage,
       none + "the sender cannot be answered\n", kNoReply},
      {"Auto-Submitted", nullptr, {}, with_header("auto-submitted: Auto-Generated (robot)\n"),
       none + "the message is automatic (auto-submitted: auto-generated)\n", kNoReply},
      {"Auto-Submitted: no", nullptr, {}, with_header("Auto-Submitted: No\n"), "", kReply},
      {"Precedence: bulk", nullptr, {}, with_header("Precedence: Bulk\n"),
       none + "the message is bulk mail (Precedence: bulk)\n", kNoReply},
      {"Precedence: junk", nullptr, {}, with_header("PRECEDENCE:  junk\r\n"),
       none + "the message is bulk mail (PRECEDENCE: junk)\n", kNoReply},
      {"Precedence: first-class", nullptr, {}, with_header("Precedence: first-class\n"), "",
       kReply},
      {"List- header", nullptr, {}, with_header("list-unsubscribe: <mailto:x@y>\n"),
       none + "the message comes from a list (list-unsubscribe:)\n", kNoReply},
      {"List- after the header is none", nullptr, {}, kMessage + "List-Id: <x>\n", "", kReply},
      {"not in To or Cc", nullptr, {},
       "To: xjoe@example.com, joe@example.com.test\nBcc: joe@example.com\n\n",
       none + "the mailbox is not in To: or Cc:\n", kNoReply},
      {"Cc folded, display names, capitals", nullptr, {},
       "To: \"Joe, not <joe@example.com>\" <ann@example.org>\nCC: Ann <ann@example.org>,\n"
       "\t(Joe) JOE@Example.COM\n\n",
       "", kReplyHead + kReplyTail},
      {"group in To", nullptr, {}, "To: team: ann@example.org, Joe <joe@example.com>;\n\n", "",
       kReplyHead + kReplyTail},
      {"the envelope recipient in To", nullptr, {"HOST=-"}, "To: example.com-joe@example.com\n\n",
       "", "From: example.com-joe@example.com" + kReplyHead.substr(kReplyHead.find('\n')) +
               kReplyTail},
      {"host with a line end", nullptr, {"HOST=example.com\nBcc: x@y"}, kMessage,
       "tessera-autorespond-sandbox: the mailbox address holds a blank or control byte\n",
       kNoReply},
      {"alias domain", [](Vacation& t) { t.ok({"domain", "alias", "alias.test", "example.com"}); },
       {"HOST=alias.test"}, "Cc: joe@example.com\n\n", "",
       "From: joe@alias.test" + kReplyHead.substr(kReplyHead.find('\n')) + kReplyTail},
      {"answered 6 days ago", [](Vacation& t) { replied_at(t, 6 * kDay); }, {}, kMessage,
       none + "someone@example.org was answered in the last 7 days\n", kNoReply},
      {"answered 8 days ago", [](Vacation& t) { replied_at(t, 8 * kDay); }, {}, kMessage, "",
       kReply},
      {"last day passed", [](Vacation& t) { write_file(t.file("until"), "2001-02-03\n"); }, {},
       kMessage, none + "the vacation ended on 2001-02-03\n", kNoReply},
      {"last day to come", [](Vacation& t) { write_file(t.file("until"), "2999-12-31\n"); }, {},
       kMessage, "", kReply},
      {"thread and an encoded subject",
       [](Vacation& t) { write_file(t.file("subject"), "Abwesend bis M\xc3\xa4rz\n"); }, {},
       "References: <r0@x>\n <r1@x> junk\nIn-Reply-To: <r1@x>\n" + kMessage, "",
       kReplyHead.substr(0, kReplyHead.find("Subject")) +
           "Subject: =?UTF-8?B?QWJ3ZXNlbmQgYmlzIE3DpHJ6?=\n"
           "In-Reply-To: <m1@example.org>\nReferences: <r0@x>\n <r1@x>\n <m1@example.org>\n" +
           kReplyTail},
      {"header too long", nullptr, {}, "To: joe@example.com\nX: " + std::string(70000, 'x'),
       none + "the message's header is longer than 65536 bytes\n", kNoReply},
      {"record is a link",
       [](Vacation& t) {
         write_file(t.dir + "/elsewhere", "x 1\n");
         symlink((t.dir + "/elsewhere").c_str(), t.file("replied").c_str());
       },
       {}, kMessage, "", kNoReply},
      {"no vacation folder",
       [](Vacation& t) { std::filesystem::remove_all(t.joe + "/vacation"); }, {}, kMessage, "",
       kNoReply},
      {"no LARKSPUR_ROOT", nullptr, {"LARKSPUR_ROOT=-"}, kMessage,
       "tessera-autorespond-sandbox: LARKSPUR_ROOT must be an absolute path to an existing "
       "directory\n",
       kNoReply},
  };
}

// The reply with its Date and Message-ID values checked and taken out.
std::string without_stamps(std::string reply) {
  const std::regex date("\nDate: [A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} "
                        "\\d\\d:\\d\\d:\\d\\d [-+]\\d{4}\n"
                        "Message-ID: <\\d+\\.\\d+\\.autorespond@[a-z.]+>\n");
  EXPECT_TRUE(reply.empty() || std::regex_search(reply, date)) << reply;
  return std::regex_replace(reply, std::regex("\nDate: .*\nMessage-ID: .*\n"), "\n");
}

TEST(AutorespondTest, RepliesOnlyAsTheRulesAllow) {
  for (const VacationCase& c : cases()) {
    Vacation t;
    t.SetUp();
    if (c.plant) c.plant(t);
    std::string record_before = read_file(t.file("replied"));
    RunResult r = t.run(c.env, c.message);
    EXPECT_EQ(r.status, 0) << c.name;
    const std::string queued = read_file(t.box.path("/var/qmail/queue-standin/1.msg"));
    EXPECT_EQ(without_stamps(queued), c.reply) << c.name;
    if (!c.note.empty() || !c.reply.empty()) {
      EXPECT_EQ(r.err, c.note) << c.name;
    }
    if (c.reply.empty()) {
      EXPECT_EQ(read_file(t.file("replied")), record_before) << c.name;
      if (c.note.empty()) {
        EXPECT_NE(r.err, "") << c.name;  // a failure says why
      }
      continue;
    }
    EXPECT_EQ(read_file(t.box.path("/var/qmail/queue-standin/1.env")),
              std::string("F\0Tsomeone@example.org\0\0", 24))
        << c.name;
    std::vector<std::string> record = lines_of(read_file(t.file("replied")));
    ASSERT_FALSE(record.empty()) << c.name;
    EXPECT_TRUE(record.back().starts_with("someone@example.org ")) << c.name;
    EXPECT_EQ(std::count_if(record.begin(), record.end(),
                            [](const std::string& l) { return l.starts_with("someone@"); }),
              1) << c.name;
    struct stat st;
    ASSERT_EQ(stat(t.file("replied").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << c.name;
  }
}

// The record keeps the newest 1,000 lines and 64 KB; the oldest go first.
TEST(AutorespondTest, RecordStaysBounded) {
  for (size_t width : {20u, 100u}) {
    Vacation t;
    t.SetUp();
    std::string record;
    for (int i = 0; i < 1000; ++i) {
      std::string sender = "s" + std::to_string(i) + "@example.org";
      record += sender + std::string(width - sender.size(), 'x') + " 5\n";
    }
    write_file(t.file("replied"), record);
    ASSERT_EQ(t.run({}, kMessage).err, "");
    std::string after = read_file(t.file("replied"));
    std::vector<std::string> lines = lines_of(after);
    // The new line is the sender and a ten-digit time: 31 bytes.
    size_t kept = width == 20 ? 999 : (65536 - 31) / (width + 3);
    ASSERT_EQ(lines.size(), kept + 1);
    EXPECT_LE(after.size(), 65536u);
    EXPECT_TRUE(after.starts_with("s" + std::to_string(1000 - kept) + "@")) << lines[0];
  }
}

}  // namespace

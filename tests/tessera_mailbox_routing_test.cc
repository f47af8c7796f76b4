// A mailbox's forwards and vacation reply through tessera, end to end in a
// sandbox: the exact bytes of the .qmail and of the vacation folder after
// each step, the domain's counts, and what is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/tessera_cli.h"
#include "tests/testlib/testlib.h"

namespace {

constexpr char kAbsent[] = "(absent)";

class TesseraRoutingTest : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    dir = add_domain("example.com");
    ASSERT_NO_FATAL_FAILURE(ok({"user", "add", "joe@example.com", "pw"}));
    ASSERT_NO_FATAL_FAILURE(ok({"user", "add", "ann@example.com", "pw"}));
  }
  std::string bytes_of(const std::string& path) {
    return file_exists(path) ? read_file(path) : kAbsent;
  }
  mode_t mode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  // One step: tessera's words and input, its status and output, and the
  // bytes one file of the domain directory then holds.
  struct Step {
    std::vector<std::string> words;
    std::string input;
    int status;
    std::string said;  // stdout for 0, stderr for 1
    std::string file;  // below the domain directory
    std::string bytes;
  };
  void run_steps(const std::vector<Step>& steps) {
    for (const Step& s : steps) {
      const std::string what = s.words[1] + " " + s.words[2] + " " + s.words.back();
      RunResult r = tessera(s.words, s.input);
      EXPECT_EQ(r.status, s.status) << what << ": " << r.err;
      EXPECT_EQ(s.status == 0 ? r.out : s.status == 1 ? r.err : "", s.said) << what;
      const std::string path = dir + "/" + s.file;
      EXPECT_EQ(bytes_of(path), s.bytes) << what << ": " << s.file;
      EXPECT_EQ(mode_of(path), s.bytes == kAbsent ? 0u : 0600u) << what << ": " << s.file;
    }
  }
  std::string dir;
};

TEST_F(TesseraRoutingTest, ForwardsAreSetChangedRemovedAndCounted) {
  const std::string qmail = "joe/.qmail";
  run_steps({
      {{"user", "forward", "joe@example.com", "ann@example.com", "Bob@Other.NET"}, "", 0,
       "joe@example.com: forwarding to ann@example.com, Bob@other.net\n", qmail,
       "&ann@example.com\n&Bob@other.net\n"},
      {{"user", "forward", "JOE@example.com", "carl@other.net", "--keep", "carl@other.net"}, "", 0,
       "joe@example.com: forwarding to carl@other.net, keeping a copy\n", qmail,
       "&carl@other.net\n./Maildir/\n"},
      {{"user", "forward", "joe@example.com", "no address"}, "", 1, "Destination is no mail address\n",
       qmail, "&carl@other.net\n./Maildir/\n"},
      {{"user", "forward", "joe@example.com", "x@-bad.net"}, "", 1, "Destination is no mail address\n",
       qmail, "&carl@other.net\n./Maildir/\n"},
      {{"user", "forward", "joe@example.com", "x@other.net", "y@"}, "", 1,
       "Destination is no mail address\n", qmail, "&carl@other.net\n./Maildir/\n"},
      // Mail forwarded to itself would come back for ever.
      {{"user", "forward", "joe@example.com", "Joe@Example.com"}, "", 1,
       "Destination is no mail address\n", qmail, "&carl@other.net\n./Maildir/\n"},
      {{"user", "forward", "ghost@example.com", "x@other.net"}, "", 1, "User does not exist\n",
       "ghost/.qmail", kAbsent},
      {{"user", "forward", "joe@example.com", "--off", "--keep"}, "", 2, "", qmail,
       "&carl@other.net\n./Maildir/\n"},
      // One mailbox with forwards fills a cap of one; the one holding it may change them.
      {{"limits", "set", "example.com", "-"}, "maxforwards: 1\n", 0,
       "example.com: limits set\n", qmail, "&carl@other.net\n./Maildir/\n"},
      {{"user", "forward", "ann@example.com", "x@other.net"}, "", 1,
       "The domain's forward limit is reached\n", "ann/.qmail", kAbsent},
      {{"user", "forward", "joe@example.com", "dave@other.net"}, "", 0,
       "joe@example.com: forwarding to dave@other.net\n", qmail, "&dave@other.net\n"},
      {{"user", "forward", "joe@example.com", "--off"}, "", 0,
       "joe@example.com: forwards removed\n", qmail, kAbsent},
      {{"user", "forward", "ann@example.com", "x@other.net"}, "", 0,
       "ann@example.com: forwarding to x@other.net\n", "ann/.qmail", "&x@other.net\n"},
  });
  EXPECT_EQ(audit_lines().back(), "user forward\tann@example.com\tok");
  RunResult shown = tessera({"user", "show", "ann@example.com"});
  EXPECT_NE(shown.out.find("\nforwards: x@other.net\n"), std::string::npos) << shown.out;
  RunResult json = tessera_json({"user", "show", "ann@example.com"});
  EXPECT_NE(json.out.find("\"forwards\":[\"x@other.net\"],\"keep_copy\":false,\"vacation\":null"),
            std::string::npos)
      << json.out;
}

TEST_F(TesseraRoutingTest, VacationWritesItsFolderAndTheProgramLine) {
  const std::string program = box.path("/usr/local/tessera/bin/tessera-autorespond ") + dir;
  const std::string joe = "|" + program + "/joe\n";
  run_steps({
      {{"user", "vacation", "joe@example.com", "--subject", "Away", "--text", "-", "--until",
        "2030-01-31"},
       "Back on Monday.\r\nJoe\n", 0, "joe@example.com: vacation reply set until 2030-01-31\n",
       "joe/.qmail", joe + "./Maildir/\n"},
      {{"user", "forward", "joe@example.com", "x@other.net"}, "", 0,
       "joe@example.com: forwarding to x@other.net\n", "joe/.qmail", joe + "&x@other.net\n"},
  });
  EXPECT_EQ(read_file(dir + "/joe/vacation/subject"), "Away\n");
  EXPECT_EQ(read_file(dir + "/joe/vacation/message"), "Back on Monday.\nJoe\n");
  EXPECT_EQ(read_file(dir + "/joe/vacation/until"), "2030-01-31\n");
  EXPECT_EQ(mode_of(dir + "/joe/vacation"), 0700u);
  write_file(dir + "/joe/vacation/replied", "a@other.net 1700000000\n");
  run_steps({
      // Set again: no last day, and whom it answered starts over.
      {{"user", "vacation", "joe@example.com", "--text", "-", "--subject", "Still away"}, "Soon.",
       0, "joe@example.com: vacation reply set\n", "joe/vacation/replied", ""},
      {{"user", "vacation", "joe@example.com", "--subject", "X", "--text", "-", "--until",
        "2030-02-30"},
       "t", 1, "Invalid last day: give it as YYYY-MM-DD\n", "joe/vacation/until", kAbsent},
      {{"user", "vacation", "joe@example.com", "--subject", "X", "--text", "-", "--until",
        "2030-1-05"},
       "t", 1, "Invalid last day: give it as YYYY-MM-DD\n", "joe/vacation/subject",
       "Still away\n"},
      {{"user", "vacation", "joe@example.com", "--subject", "Two\nlines", "--text", "-"}, "t", 1,
       "Invalid vacation subject\n", "joe/vacation/message", "Soon."},
      {{"user", "vacation", "joe@example.com", "--subject", "X", "--text", "/no/such/file"}, "", 1,
       "tessera: cannot read /no/such/file: No such file or directory\n", "joe/.qmail",
       joe + "&x@other.net\n"},
      {{"user", "vacation", "joe@example.com", "--subject", "X"}, "", 2, "", "joe/.qmail",
       joe + "&x@other.net\n"},
      {{"limits", "set", "example.com", "-"}, "maxautoresponders: 1\n", 0,
       "example.com: limits set\n", "joe/.qmail", joe + "&x@other.net\n"},
      {{"user", "vacation", "ann@example.com", "--subject", "X", "--text", "-"}, "t", 1,
       "The domain's vacation reply limit is reached\n", "ann/.qmail", kAbsent},
      // Removing the reply keeps the forwards; removing both removes the file.
      {{"user", "vacation", "joe@example.com", "--off"}, "", 0,
       "joe@example.com: vacation reply removed\n", "joe/.qmail", "&x@other.net\n"},
      {{"user", "vacation", "ann@example.com", "--subject", "X", "--text", "-"}, "t", 0,
       "ann@example.com: vacation reply set\n", "ann/.qmail",
       "|" + program + "/ann\n./Maildir/\n"},
      {{"user", "forward", "joe@example.com", "--off"}, "", 0,
       "joe@example.com: forwards removed\n", "joe/.qmail", kAbsent},
  });
  EXPECT_FALSE(file_exists(dir + "/joe/vacation"));
  RunResult shown = tessera({"user", "show", "ann@example.com"});
  EXPECT_NE(shown.out.find("\nvacation: X\n"), std::string::npos) << shown.out;
}

// A .qmail written by hand with lines of its own is never rewritten, and a
// link at its name is never followed.
TEST_F(TesseraRoutingTest, HandWrittenOrLinkedQmailIsLeftAlone) {
  write_file(dir + "/joe/.qmail", "|/usr/bin/filter\n./Maildir/\n");
  ASSERT_EQ(symlink((dir + "/joe/.qmail").c_str(), (dir + "/ann/.qmail").c_str()), 0);
  for (const char* who : {"joe@example.com", "ann@example.com"}) {
    RunResult r = tessera({"user", "forward", who, "x@other.net"});
    EXPECT_EQ(r.status, 1) << who;
    EXPECT_NE(r.err, "") << who;
  }
  EXPECT_EQ(read_file(dir + "/joe/.qmail"), "|/usr/bin/filter\n./Maildir/\n");
}

}  // namespace

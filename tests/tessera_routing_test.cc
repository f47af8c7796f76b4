// tessera alias and domain catchall end to end: the exact bytes of the
// domain's dot-qmail files after each command, and the refusals that leave
// them as they were.
#include <sys/stat.h>

#include "tests/tessera_cli.h"

namespace {

class TesseraRouting : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    dir = add_domain("example.com");
    ok({"user", "add", "ann@example.com", "pw"});
    ok({"domain", "alias", "alias.test", "example.com"});
  }
  // Every .qmail- file of the domain as "NAME=BYTES;".
  std::string dot_qmail_files() {
    std::string all;
    for (const std::string& name : names_in(dir)) {
      if (name.starts_with(".qmail-")) all += name + "=" + read_file(dir + "/" + name) + ";";
    }
    return all;
  }
  std::string dir;
};

TEST_F(TesseraRouting, AliasCommandsWriteExactlyTheirFiles) {
  const std::string deflt = ".qmail-default=| " + box.path("/usr/local/tessera") +
                            "/bin/tdelivermail '' bounce-no-mailbox\n;";
  const struct {
    std::vector<std::string> words;
    std::string out;  // or the message on stderr, status 1
    std::string files;
  } cases[] = {
      {{"add", "Info@Example.com", "ann@example.com", "Bob@Else.ORG", "ann@example.com"},
       "info@example.com: alias created\n",
       deflt + ".qmail-info=&ann@example.com\n&bob@else.org\n;"},
      {{"add", "info@alias.test", "carl@else.org"}, "info@alias.test: alias changed\n",
       deflt + ".qmail-info=&carl@else.org\n;"},
      {{"add", "first.last@example.com", "ann@example.com"}, "first.last@example.com: alias created\n",
       deflt + ".qmail-first:last=&ann@example.com\n;.qmail-info=&carl@else.org\n;"},
      {{"del", "info@example.com"}, "info@example.com: alias removed\n",
       deflt + ".qmail-first:last=&ann@example.com\n;"},
      // The limit counts the aliases there are; a change never hits it.
      {{"add", "sales@example.com", "ann@example.com"}, "The domain's alias limit is reached\n", ""},
      {{"add", "first.last@example.com", "bob@else.org"}, "first.last@example.com: alias changed\n",
       deflt + ".qmail-first:last=&bob@else.org\n;"},
      {{"add", "ann@example.com", "bob@else.org"}, "A mailbox has that name\n", ""},
      {{"add", "default@example.com", "bob@else.org"}, "Invalid alias name\n", ""},
      {{"add", "list-owner@example.com", "bob@else.org"}, "Invalid alias name\n", ""},
      {{"add", "a/b@example.com", "bob@else.org"}, "Invalid alias name\n", ""},
      {{"add", ".x@example.com", "bob@else.org"}, "Invalid alias name\n", ""},
      {{"add", std::string(33, 'a') + "@example.com", "bob@else.org"}, "user name too long\n", ""},
      {{"add", "x@nowhere.test", "bob@else.org"}, "Domain does not exist\n", ""},
      {{"add", "x@example.com", "bob"}, "Destination is no mail address\n", ""},
      {{"add", "x@example.com", "bob@localhost"}, "Destination is no mail address\n", ""},
      {{"add", "x@example.com", "b b@else.org"}, "Destination is no mail address\n", ""},
      {{"add", "x@example.com", "a@b@else.org"}, "Destination is no mail address\n", ""},
      {{"add", "x@example.com", std::string(150, 'a') + "@else.org"}, "alias line too long\n", ""},
      {{"del", "nothing@example.com"}, "Alias does not exist\n", ""},
      {{"del", "default@example.com"}, "Invalid alias name\n", ""},
  };
  std::string files;
  for (const auto& c : cases) {
    // From the fifth case on, the domain may have one alias.
    if (&c == &cases[4]) write_file(dir + "/.kestrel-limits", "maxaliases: 1\n");
    std::vector<std::string> words = {"alias"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunResult r = tessera(words);
    const bool refused = c.files.empty();
    EXPECT_EQ(r.status, refused ? 1 : 0) << c.words[1];
    EXPECT_EQ(refused ? r.err : r.out, c.out) << c.words[1];
    if (!refused) files = c.files;
    EXPECT_EQ(dot_qmail_files(), files) << c.words[1];
  }
  struct stat st {};
  ASSERT_EQ(stat((dir + "/.qmail-first:last").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(tessera({"alias", "show", "first.last@example.com"}).out,
            "first.last@example.com\tbob@else.org\n");
  // Mailing lists and autoresponders are no aliases; the list and the user
  // list read them alike.
  write_file(dir + "/.qmail-list", "|ezmlm-reject\n");
  EXPECT_EQ(tessera({"alias", "list", "example.com"}).out,
            "first.last@example.com\tbob@else.org\n");
  EXPECT_EQ(tessera_json({"alias", "list", "example.com"}).out,
            "[{\"address\":\"first.last@example.com\",\"destinations\":[\"bob@else.org\"]}]\n");
  const std::vector<std::string> audit = audit_lines();
  EXPECT_EQ(audit.at(3), "alias add\tinfo@example.com\tok");
  EXPECT_EQ(audit.back(), "alias del\tdefault@example.com\texit 1");
}

TEST_F(TesseraRouting, CatchallIsTheDeliveryLinesSecondArgument) {
  ok({"user", "add", "joe@example.com", "pw"});
  const std::string line = "| " + box.path("/usr/local/tessera") + "/bin/tdelivermail '' ";
  const struct {
    std::string choice;  // "" shows it
    std::string out;     // or the message on stderr, status 1
    std::string argument;
  } cases[] = {
      {"", "bounce\n", "bounce-no-mailbox"},
      {"joe", "example.com: catch-all set to mailbox joe\n", dir + "/joe"},
      {"", "mailbox\tjoe\t" + dir + "/joe\n", dir + "/joe"},
      {"Joe@Else.org", "example.com: catch-all set to forward to joe@else.org\n", "joe@else.org"},
      {"", "forward\tjoe@else.org\n", "joe@else.org"},
      {"delete", "example.com: catch-all set to delete\n", "delete-no-mailbox"},
      {"", "delete\n", "delete-no-mailbox"},
      {"nobody", "User does not exist\n", "delete-no-mailbox"},
      {"joe@else", "Destination is no mail address\n", "delete-no-mailbox"},
      {"bounce", "example.com: catch-all set to bounce\n", "bounce-no-mailbox"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = {"domain", "catchall", "example.com"};
    if (!c.choice.empty()) words.push_back(c.choice);
    RunResult r = tessera(words);
    const bool refused = c.out.find(':') == std::string::npos && !c.choice.empty();
    EXPECT_EQ(refused ? r.err : r.out, c.out) << c.choice;
    EXPECT_EQ(r.status, refused ? 1 : 0) << c.choice;
    EXPECT_EQ(read_file(dir + "/.qmail-default"), line + c.argument + "\n") << c.choice;
  }
  EXPECT_EQ(tessera({"domain", "catchall", "nowhere.test"}).err, "Domain does not exist\n");
  ok({"domain", "catchall", "alias.test", "ann"});
  EXPECT_EQ(tessera_json({"domain", "catchall", "example.com"}).out,
            "{\"domain\":\"example.com\",\"action\":\"mailbox\",\"target\":\"" + dir +
                "/ann\",\"mailbox\":\"ann\",\"line\":\"" + line + dir + "/ann\"}\n");
  // The mailbox that takes the catch-all cannot be deleted; others can.
  EXPECT_EQ(tessera({"user", "del", "ann@example.com"}).err, "can't delete catchall account\n");
  ok({"user", "del", "joe@example.com"});
  EXPECT_EQ(audit_lines().back(), "user del\tjoe@example.com\tok");
}

}  // namespace

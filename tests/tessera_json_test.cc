// tessera --json: every printing command's document, parsed by a strict
// JSON parser and rendered back into the plain output of the same command,
// over names and full names holding quotes, backslashes, control
// characters and bytes that are not UTF-8.
#include <gtest/gtest.h>

#include "tests/tessera_cli.h"

namespace {

// Full names as `user add` stores them: every byte but ":" and "\n".
const char* const kOddFullNames[] = {
    "Quote \" Back \\ Slash",
    "Tab\there \x01 bell \x1f and \x7f",
    "Latin \xc3\xa9 and \xf0\x9f\x93\xab",         // well-formed UTF-8
    "Bad \xff lone \x80 cut \xe2\x82 end",        // stray and cut sequences
    "Over \xc0\xaf sur \xed\xa0\x80 big \xf4\x90",  // overlong, surrogate, past U+10FFFF
    "Last \xf0\x9f\x93",                          // cut at the end
};

class TesseraJsonTest : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    dir = add_domain("example.com");
    ASSERT_NO_FATAL_FAILURE(ok({"domain", "alias", "alias.example", "example.com"}));
    for (size_t i = 0; i < std::size(kOddFullNames); ++i) {
      ASSERT_NO_FATAL_FAILURE(
          ok({"user", "add", "user" + std::to_string(i) + "@example.com", "pw", kOddFullNames[i]}));
    }
    ASSERT_NO_FATAL_FAILURE(ok({"user", "quota", "user1@example.com", "1000S"}));
    write_file(dir + "/user1/lastauth", "198.51.100.7\n");
    set_mtime(dir + "/user1/lastauth", 1700000000);
    write_file(dir + "/user1/Maildir/maildirsize", "1000S\n950 3\n");
    // A line written by hand, with a name no command would take.
    std::string tpasswd = read_file(dir + "/tpasswd");
    write_file(dir + "/tpasswd", tpasswd + "we\"ird\\\x02\xfe:x:1:0:Hand \"made\":" + dir +
                                     "/weird:NOQUOTA\n");
    write_file(dir + "/.kestrel-limits", "maxpopaccounts: 7\ndisable_pop\ndelete_spam\n"
                                         "default_quota: 2048\nperm_maillist: 73\n");
  }

  void expect_renders(const std::vector<std::string>& words, const std::string& script) {
    RunResult plain = tessera(words);
    RunResult json = tessera_json(words);
    std::string command;
    for (const std::string& word : words) command += " " + word;
    EXPECT_EQ(plain.status, json.status) << command;
    EXPECT_EQ(plain.err, json.err) << command;
    EXPECT_EQ(json_renders_plain(json.out, plain.out, script), "same") << command;
    std::vector<std::string> json_last = words;  // --json may follow the command
    json_last.push_back("--json");
    EXPECT_EQ(tessera(json_last).out, json.out) << command;
  }

  std::string dir;
};

TEST_F(TesseraJsonTest, EveryPrintingCommandRendersBackIntoItsPlainOutput) {
  struct Case {
    std::vector<std::string> words;
    const char* script;
  };
  const Case cases[] = {
      {{"domain", "show", "ALIAS.example"},
       "assert d['name'] == 'alias.example'\n"
       "out = '%s\\t%s\\t%d\\t%d\\n' % (d['real'], d['dir'], d['uid'], d['gid'])"},
      {{"domain", "list"},
       "out = ''.join('%s\\t%s\\t%d\\t%d\\t%s\\n' % (e['name'], e['real'], e['uid'], e['gid'],"
       " e['dir']) for e in d)"},
      {{"limits", "show", "example.com"},
       "assert len(d) == 26 and d['disable_imap'] is False\n"
       "out = ''.join((k + '\\n' if v else '') if isinstance(v, bool) else '%s: %d\\n' % (k, v)"
       " for k, v in d.items())"},
      {{"user", "show", "user1@example.com"},
       "assert d['flag_names'] == ['disable_pop', 'delete_spam'] and d['last_login'] == 1700000000\n"
       "out = '%s\\nflags: 0x%x\\nquota: %d%%\\nlast login: %s\\n' % (line(d), d['flags'],"
       " d['quota_use_percent'], login(d))"},
      {{"user", "show", "user4@alias.example"},
       "assert d['last_login'] is None and d['last_login_from'] is None\n"
       "out = '%s\\nflags: 0x%x\\nquota: %d%%\\nlast login: %s\\n' % (line(d), d['flags'],"
       " d['quota_use_percent'], login(d))"},
      {{"user", "list", "example.com"},
       "assert len(d) == 7 and d[-1]['name'] == 'we\"ird\\\\\\x02\\ufffd'\n"
       "out = ''.join(line(a) + '\\n' for a in d)"},
      {{"user", "list", "example.com", "--inactive", "0"},
       "out = ''.join('%s\\t%s\\n' % (a['name'], login(a)) for a in d)"},
      {{"domain", "usage", "alias.example"},
       "out = 'domain: %s\\nmailboxes: %d (%d without quota)\\nquota: %d bytes, %d messages\\n"
       "used: %d bytes, %d messages\\n' % (d['name'], d['mailboxes'], d['without_quota'],"
       " d['quota_bytes'], d['quota_messages'], d['used_bytes'], d['used_messages'])"
       " + ''.join('over 90%%: %s %d%%\\n' % (m['name'], m['quota_use_percent'])"
       " for m in d['over_90_percent'])"},
      {{"domain", "usage"},
       "assert [e['name'] for e in d] == ['example.com']\n"
       "e = d[0]\n"
       "out = 'domain: %s\\nmailboxes: %d (%d without quota)\\nquota: %d bytes, %d messages\\n"
       "used: %d bytes, %d messages\\n' % (e['name'], e['mailboxes'], e['without_quota'],"
       " e['quota_bytes'], e['quota_messages'], e['used_bytes'], e['used_messages'])"
       " + ''.join('over 90%%: %s %d%%\\n' % (m['name'], m['quota_use_percent'])"
       " for m in e['over_90_percent'])"},
  };
  for (const Case& c : cases) expect_renders(c.words, c.script);
}

TEST_F(TesseraJsonTest, FullNamesKeepEveryCharacterAndReplaceWhatIsNotUtf8) {
  // What a decoder that follows the maximal-subpart practice makes of each.
  const char* const expected[] = {
      "Quote \" Back \\ Slash",
      "Tab\there \x01 bell \x1f and \x7f",
      "Latin \xc3\xa9 and \xf0\x9f\x93\xab",
      "Bad \xef\xbf\xbd lone \xef\xbf\xbd cut \xef\xbf\xbd end",
      "Over \xef\xbf\xbd\xef\xbf\xbd sur \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd big "
      "\xef\xbf\xbd\xef\xbf\xbd",
      "Last \xef\xbf\xbd",
  };
  RunResult listed = tessera_json({"user", "list", "example.com"});
  ASSERT_EQ(listed.status, 0);
  std::string names = json_renders_plain(
      listed.out, "", "sys.stdout.buffer.write(''.join(a['full_name'] + '\\n' for a in d).encode())\n"
                      "out = ''");
  std::string all;
  for (const char* name : expected) all += std::string(name) + "\n";
  EXPECT_EQ(names, all + "Hand \"made\"\nsame");
  // Control characters travel as escapes, never raw.
  EXPECT_NE(listed.out.find("Tab\\there \\u0001 bell \\u001f and \\u007f"), std::string::npos);
  EXPECT_EQ(listed.out.find('\x01'), std::string::npos);
}

TEST_F(TesseraJsonTest, FailuresStayOnStderrWithTheirStatus) {
  struct Case {
    std::vector<std::string> words;
    int status;
    const char* err;
  };
  const Case cases[] = {
      {{"domain", "show", "nowhere.example"}, 1, "Domain does not exist\n"},
      {{"user", "show", "nobody@example.com"}, 1, "User does not exist\n"},
      {{"user", "list", "nowhere.example"}, 1, "Domain does not exist\n"},
      {{"domain", "usage", "nowhere.example"}, 1, "Domain does not exist\n"},
      {{"limits", "show", "nowhere.example"}, 1, "Domain does not exist\n"},
  };
  for (const Case& c : cases) {
    RunResult r = tessera_json(c.words);
    EXPECT_EQ(r.status, c.status) << c.words[1];
    EXPECT_EQ(r.out, "") << c.words[1];
    EXPECT_EQ(r.err, c.err) << c.words[1];
  }
  RunResult bad = tessera_json({"user", "list", "example.com", "--inactive", "x"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err.rfind("usage: tessera", 0), 0u);
}

}  // namespace

// tessera user import: CSV rows made into mailboxes as `user add` makes
// them, each failure reported with its line, --dry-run finding the same
// failures without changing anything, and a second import finding every
// mailbox there already.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/tessera_cli.h"

namespace {

namespace fs = std::filesystem;

// Header, CRLF and LF line ends, quoting with commas, doubled quotes and a
// line end or a NUL inside a field, and every kind of refused row.
const char kRowsText[] =
    "address,password,full name,quota\r\n"                   // 1 header
    "ann@example.com,pw1\r\n"                                 // 2
    "\"bob@example.com\",\"p,w\"\"2\",\"Bob \"\"B\"\", Jr\",10MB\n"  // 3
    "cat@example.com,pw3,\"Cat\n"                             // 4
    "Two Lines\"\n"                                           // 5
    "dan@example.com\n"                                       // 6 no password
    "eve@example.com,pw,Eve,5MB,extra\n"                      // 7 too many
    "not an address!,pw\n"                                    // 8
    "fay@nowhere.example,pw\n"                                // 9 unknown domain
    "old@example.com,pw\n"                                    // 10 exists
    "ANN@example.com,pw\n"                                    // 11 duplicate of 2
    "gus@example.com,pw,Gus,lots\n"                           // 12 bad quota
    "hex@example.com,pw,Hex,1X\n"                             // 13 bad quota
    "ida@example.com,pw,Ida,1000c\n"                          // 14 bad quota
    "jay@example.com,pw,Jay,1G\n"                             // 15
    "kit@example.com,pw,Kit,1GB\n"                            // 16
    "lou@example.com,pw,Lou,2t\n"                             // 17
    "ivy@example.com,p\0w\n"                                  // 18 NUL
    "\"hal@example.com,pw\n"                                  // 19 never closed
    "\n";
const std::string kRows(kRowsText, sizeof kRowsText - 1);

const char kFailures[] =
    "line 4: cat@example.com: line end inside a field\n"
    "line 6: dan@example.com: no password column\n"
    "line 7: eve@example.com: more than four columns\n"
    "user invalid not an address!\n"
    "line 8: not an address!: Illegal username\n"
    "line 9: fay@nowhere.example: Domain does not exist\n"
    "line 10: old@example.com: Username exists\n"
    "line 11: ANN@example.com: duplicate of line 2\n"
    "line 12: gus@example.com: quota not understood: lots\n"
    "line 13: hex@example.com: quota not understood: 1X\n"
    "line 14: ida@example.com: quota not understood: 1000c\n"
    "line 18: ivy@example.com: NUL byte inside a field\n"
    "line 19: : quoted field not closed\n";

class TesseraImportTest : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    dir = add_domain("example.com");
    ASSERT_NO_FATAL_FAILURE(ok({"user", "add", "old@example.com", "pw"}));
  }
  // Every path under the domain with its size and modification time.
  std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      struct stat st {};
      lstat(entry.path().c_str(), &st);
      files[entry.path()] = std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_nsec) +
                            " " + std::to_string(st.st_mode);
    }
    return files;
  }
  std::string field(const std::string& user, int index) {
    for (const std::string& line : lines_of(read_file(dir + "/tpasswd"))) {
      if (line.rfind(user + ":", 0) != 0) continue;
      size_t start = 0;
      for (int i = 0; i < index; ++i) start = line.find(':', start) + 1;
      return line.substr(start, line.find(':', start) - start);
    }
    return "(none)";
  }

  std::string dir;
};

TEST_F(TesseraImportTest, GoodRowsAreMadeAndEachBadRowIsReportedWithItsLine) {
  write_file(box.root() + "/rows.csv", kRows);
  RunResult r = tessera({"user", "import", box.root() + "/rows.csv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kFailures);
  EXPECT_EQ(r.out, "5 created, 12 failed\n");
  EXPECT_EQ(field("ann", 4), "ann");
  EXPECT_EQ(field("ann", 6), "NOQUOTA");
  EXPECT_EQ(field("bob", 4), "Bob \"B\", Jr");
  EXPECT_EQ(field("bob", 6), "10485760S");
  EXPECT_EQ(field("jay", 6) + " " + field("kit", 6) + " " + field("lou", 6),
            "1073741824S 1073741824S 2199023255552S");
  EXPECT_EQ(field("ida", 0), "(none)");
  EXPECT_EQ(field("cat", 0), "(none)");
  EXPECT_FALSE(file_exists(dir + "/cat"));
  EXPECT_TRUE(file_exists(dir + "/bob/Maildir/maildirsize"));
  // The new mailbox takes the password of its row, comma and quote included.
  RunResult shown = tessera({"user", "show", "bob@example.com"});
  EXPECT_EQ(lines_of(shown.out).at(3), "last login: never");
  // One audit line a row, in file order, after those of the set-up.
  const std::string u = "user import\t";
  EXPECT_EQ(audit_lines(),
            (std::vector<std::string>{
                "domain add\texample.com\tok", "user add\told@example.com\tok",
                u + "ann@example.com\tok", u + "bob@example.com\tok",
                u + "cat@example.com\tline end inside a field",
                u + "dan@example.com\tno password column",
                u + "eve@example.com\tmore than four columns",
                u + "not an address!\tIllegal username",
                u + "fay@nowhere.example\tDomain does not exist",
                u + "old@example.com\tUsername exists", u + "ann@example.com\tduplicate of line 2",
                u + "gus@example.com\tquota not understood: lots",
                u + "hex@example.com\tquota not understood: 1X",
                u + "ida@example.com\tquota not understood: 1000c", u + "jay@example.com\tok",
                u + "kit@example.com\tok", u + "lou@example.com\tok",
                u + "ivy@example.com\tNUL byte inside a field", u + "-\tquoted field not closed"}));
}

TEST_F(TesseraImportTest, DryRunFindsTheSameFailuresAndChangesNothing) {
  write_file(box.root() + "/rows.csv", kRows);
  std::map<std::string, std::string> before = snapshot();
  RunResult dry = tessera({"user", "import", "--dry-run", box.root() + "/rows.csv"});
  EXPECT_EQ(dry.status, 1);
  EXPECT_EQ(dry.err, kFailures);
  EXPECT_EQ(dry.out, "5 would be created, 12 failed\n");
  EXPECT_EQ(snapshot(), before);

  RunResult json = tessera_json({"user", "import", "--dry-run", "-"}, kRows);
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json_renders_plain(json.out, "",
                               "assert d['dry_run'] and d['created'] == 5 and d['failed'] == 12\n"
                               "assert [f['line'] for f in d['failures']] == "
                               "[4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 18, 19]\n"
                               "assert d['failures'][6]['message'] == 'duplicate of line 2'\n"
                               "out = ''"),
            "same");
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(audit_lines().size(), 2u);  // a dry run changes nothing, and says so nowhere
}

TEST_F(TesseraImportTest, ASecondImportFindsEveryMailboxThere) {
  const std::string rows = "ivy@example.com,pw\r\njon@example.com,pw,Jon\r\nkim@example.com,pw,,1000C";
  RunResult first = tessera({"user", "import", "-"}, rows);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "3 created, 0 failed\n");
  EXPECT_EQ(field("kim", 4), "kim");
  EXPECT_EQ(field("kim", 6), "1000C");
  std::map<std::string, std::string> before = snapshot();
  for (const char* mode : {"--dry-run", ""}) {
    std::vector<std::string> words{"user", "import", "-"};
    if (*mode) words.push_back(mode);
    RunResult again = tessera(words, rows);
    EXPECT_EQ(again.status, 1) << mode;
    EXPECT_EQ(again.err,
              "line 1: ivy@example.com: Username exists\n"
              "line 2: jon@example.com: Username exists\n"
              "line 3: kim@example.com: Username exists\n")
        << mode;
    EXPECT_EQ(again.out, *mode ? "0 would be created, 3 failed\n" : "0 created, 3 failed\n");
  }
  EXPECT_EQ(snapshot(), before);
}

// A spreadsheet's CSV: a byte-order mark, and a first row naming the
// columns in its own case and order; a header that cannot be placed makes
// nothing.
TEST_F(TesseraImportTest, HeaderRowsMapTheirColumns) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string text;
    std::string out, err;
    std::string made;  // USER:FULL NAME:QUOTA, "" for none
  } cases[] = {
      {bom + "E-Mail,Quota,Full Name,Password\r\nmia@example.com,2t,Mia M,pw\r\n",
       "1 created, 0 failed\n", "", "mia:Mia M:2199023255552S"},
      {bom + "nia@example.com,pw,Nia\n", "1 created, 0 failed\n", "", "nia:Nia:NOQUOTA"},
      {" PASSWORD ,email,NAME\npw,oli@example.com,Oli\n", "1 created, 0 failed\n", "",
       "oli:Oli:NOQUOTA"},
      {"email,password\nrae@example.com,pw,x\n", "0 created, 1 failed\n",
       "line 2: rae@example.com: more than two columns\n", ""},
      {"email,password,notes\npat@example.com,pw,x\n", "0 created, 1 failed\n",
       "line 1: header: column not understood: notes\n", ""},
      {"email,password,e-mail\npat@example.com,pw,x\n", "0 created, 1 failed\n",
       "line 1: header: column named twice: e-mail\n", ""},
      {"name,email\nPat,pat@example.com\n", "0 created, 1 failed\n",
       "line 1: header: no password column\n", ""},
      {"password,name\npw,Pat\n", "0 created, 1 failed\n", "line 1: header: no address column\n",
       ""},
  };
  for (const Case& c : cases) {
    RunResult r = tessera({"user", "import", "-"}, c.text);
    EXPECT_EQ(r.status, c.made.empty() ? 1 : 0) << c.text;
    EXPECT_EQ(r.out, c.out) << c.text;
    EXPECT_EQ(r.err, c.err) << c.text;
    if (c.made.empty()) continue;
    std::string user = c.made.substr(0, c.made.find(':'));
    EXPECT_EQ(user + ":" + field(user, 4) + ":" + field(user, 6), c.made);
  }
  EXPECT_EQ(field("pat", 0), "(none)");
}

TEST_F(TesseraImportTest, UnreadableSourceAndBadWordsAreRefused) {
  RunResult missing = tessera({"user", "import", box.root() + "/none.csv"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "tessera: cannot read " + box.root() + "/none.csv\n");
  EXPECT_EQ(tessera({"user", "import"}).status, 2);
  EXPECT_EQ(tessera({"user", "import", "a.csv", "b.csv"}).status, 2);
  RunResult empty = tessera({"user", "import", "-"}, "address,password\n");
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "0 created, 0 failed\n");
}

}  // namespace

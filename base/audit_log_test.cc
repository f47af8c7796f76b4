#include "base/audit_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/site.h"
#include "tests/testlib/testlib.h"

namespace {

mode_t mode_of(const std::string& path) {
  struct stat status {};
  lstat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(AuditLog, FieldsAreEscapedAndCutSoALineStaysOneLine) {
  const struct {
    std::string text;
    std::string field;
  } cases[] = {
      {"", "-"},
      {"example.com", "example.com"},
      {"a b<c>&\"'", "a b<c>&\"'"},
      {"a\tb", "a\\x09b"},
      {"a\nb\rc", "a\\x0Ab\\x0Dc"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"back\\slash", "back\\x5Cslash"},
      {"\x7F\x1F", "\\x7F\\x1F"},
      {"\xC3\xA4", "\xC3\xA4"},
      {std::string(200, 'x'), std::string(200, 'x')},
      {std::string(201, 'x'), std::string(200, 'x')},
      // An escape that would pass the 200th byte is left out whole.
      {std::string(197, 'x') + "\n", std::string(197, 'x')},
      {std::string(196, 'x') + "\nyz", std::string(196, 'x') + "\\x0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(audit_field(c.text), c.field) << c.text;
}

TEST(AuditLog, LineHoldsSixFieldsWithTheTimeInUtc) {
  EXPECT_EQ(audit_time(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(audit_time(1796774399), "2026-12-08T23:59:59Z");
  AuditRecord record;
  record.time = 1796774399;
  record.admin = "alice";
  record.address = "";
  record.command = "add_domain";
  record.object = "ex\tample.com";
  record.result = "Created Domain; Domain postmaster added";
  EXPECT_EQ(audit_line(record),
            "2026-12-08T23:59:59Z\talice\t-\tadd_domain\tex\\x09ample.com\t"
            "Created Domain; Domain postmaster added\n");
}

TEST(AuditLog, AppendsToAPrivateFileInAFolderItMakes) {
  Sandbox box;
  site_set_root(box.root());
  std::string etc = box.path("/usr/local/tessera/etc");
  mode_t old_mask = umask(077);  // as after a domain was created
  EXPECT_EQ(audit_append("one\n"), 0);
  EXPECT_EQ(audit_append("two\n"), 0);
  umask(old_mask);
  EXPECT_EQ(read_file(etc + "/larkspur.log"), "one\ntwo\n");
  EXPECT_EQ(mode_of(etc), 0755u);
  EXPECT_EQ(mode_of(etc + "/larkspur.log"), 0600u);

  // A renamed log (rotation) is left alone; the next line starts a new one.
  ASSERT_EQ(rename((etc + "/larkspur.log").c_str(), (etc + "/larkspur.log.1").c_str()), 0);
  EXPECT_EQ(audit_append("three\n"), 0);
  EXPECT_EQ(read_file(etc + "/larkspur.log"), "three\n");
  EXPECT_EQ(read_file(etc + "/larkspur.log.1"), "one\ntwo\n");
}

// What stands at etc/ or at the log decides whether the line is written.
// Made by root (tessera), a new folder and log still go to the owner of the
// store home, so the pages can go on writing; nothing is ever written
// through a link or into anything but a plain file, and a FIFO never
// holds the writer up.
TEST(AuditLog, WritesOnlyAPlainFileReachedWithoutLinksOwnedByTheStoreUser) {
  const uid_t owner = geteuid() == 0 ? 4242 : geteuid();
  const gid_t group = geteuid() == 0 ? 4343 : getegid();
  const struct {
    const char* what;
    void (*plant)(const std::string& etc, const std::string& elsewhere);
    int result;
  } cases[] = {
      {"nothing yet", [](const std::string&, const std::string&) {}, 0},
      {"log a FIFO",
       [](const std::string& etc, const std::string&) {
         mkdir(etc.c_str(), 0755);
         mkfifo((etc + "/larkspur.log").c_str(), 0600);
       },
       -1},
      {"log a link",
       [](const std::string& etc, const std::string& elsewhere) {
         mkdir(etc.c_str(), 0755);
         symlink((elsewhere + "/larkspur.log").c_str(), (etc + "/larkspur.log").c_str());
       },
       -1},
      {"etc a link",
       [](const std::string& etc, const std::string& elsewhere) {
         symlink(elsewhere.c_str(), etc.c_str());
       },
       -1},
      {"log a folder",
       [](const std::string& etc, const std::string&) {
         mkdir(etc.c_str(), 0755);
         mkdir((etc + "/larkspur.log").c_str(), 0755);
       },
       -1},
  };
  for (const auto& c : cases) {
    Sandbox box;
    site_set_root(box.root());
    const std::string home = box.path("/usr/local/tessera");
    const std::string etc = home + "/etc";
    const std::string elsewhere = box.path("/elsewhere");
    write_file(elsewhere + "/larkspur.log", "keep\n");
    ASSERT_EQ(chown(home.c_str(), owner, group), 0);
    c.plant(etc, elsewhere);
    // A reader holds a FIFO open: a writer that does not check what it
    // opened then writes into it instead of waiting for one.
    int reader = open((etc + "/larkspur.log").c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    EXPECT_EQ(audit_append("line\n"), c.result) << c.what;
    if (reader >= 0) close(reader);
    EXPECT_EQ(read_file(elsewhere + "/larkspur.log"), "keep\n") << c.what;
    if (c.result != 0) continue;
    EXPECT_EQ(read_file(etc + "/larkspur.log"), "line\n") << c.what;
    for (const std::string& made : {etc, etc + "/larkspur.log"}) {
      struct stat status {};
      ASSERT_EQ(lstat(made.c_str(), &status), 0) << made;
      EXPECT_EQ(status.st_uid, owner) << made;
      EXPECT_EQ(status.st_gid, group) << made;
    }
  }
}

TEST(AuditLog, AMissingStoreHomeIsAFailureNotACrash) {
  Sandbox box;
  site_set_root(box.root() + "/nowhere");
  EXPECT_EQ(audit_append("line\n"), -1);
  EXPECT_FALSE(file_exists(box.root() + "/nowhere"));
}

}  // namespace

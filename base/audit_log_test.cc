#include "base/audit_log.h"

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

  // Never written through a link.
  write_file(box.path("/victim"), "keep\n");
  ASSERT_EQ(unlink((etc + "/larkspur.log").c_str()), 0);
  ASSERT_EQ(symlink(box.path("/victim").c_str(), (etc + "/larkspur.log").c_str()), 0);
  EXPECT_EQ(audit_append("four\n"), -1);
  EXPECT_EQ(read_file(box.path("/victim")), "keep\n");
}

TEST(AuditLog, AMissingStoreHomeIsAFailureNotACrash) {
  Sandbox box;
  site_set_root(box.root() + "/nowhere");
  EXPECT_EQ(audit_append("line\n"), -1);
  EXPECT_FALSE(file_exists(box.root() + "/nowhere"));
}

}  // namespace

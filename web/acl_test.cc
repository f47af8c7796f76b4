#include "web/acl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/testlib/testlib.h"
#include "web/page.h"

namespace {

void reset(const char* admin) {
  init_page_state();
  page.admin_user = admin;
  acl = AclState{};
}

TEST(AclRights, FieldGivesTheUnionOfItsLetters) {
  const struct {
    const char* field;
    int32_t rights;
  } cases[] = {
      {"", 0},         {"*", 0xFF},   {"*nothing", 0xFF}, {"CDVM", 0x0F}, {"cdvm", 0},
      {"AXIU", 0xF0},  {"U", 0x80},   {"VI", 0x44},       {"C", 0x01},    {"D", 0x02},
      {"V", 0x04},     {"M", 0x08},   {"A", 0x10},        {"X", 0x20},    {"I", 0x40},
      {"CZ9-", 0x01},  {"x*", 0},     {"CDVMAXIU", 0xFF},
  };
  for (const auto& c : cases) EXPECT_EQ(rights_from_field(c.field), c.rights) << c.field;
}

TEST(AclRights, HasRightTestsOneBit) {
  reset("alice");
  acl.rights = rights_from_field("U");
  EXPECT_TRUE(has_right(kRightModifyDomain));
  for (Right r : {kRightAddUser, kRightDeleteUser, kRightViewUser, kRightModifyUser,
                  kRightAddDomain, kRightDeleteDomain, kRightViewDomain}) {
    EXPECT_FALSE(has_right(r));
  }
}

TEST(AclLine, ListedAdministratorTakesEntryAndRights) {
  const struct {
    const char* line;
    const char* admin;
    const char* entry;  // "" when the line does not list the administrator
    int32_t rights;
    int32_t default_rights;
  } cases[] = {
      {"admins * alice,bob", "alice", "admins", 0xFF, 0},
      {"admins * alice,bob", "bob", "admins", 0xFF, 0},
      {"admins * alice,bob", "carol", "", 0, 0},
      {"admins * alice,bob", "Alice", "", 0, 0},
      {"admins * *", "carol", "", 0, 0},
      {"default VI x", "carol", "", 0, 0x44},
      {"DEFAULT CD x", "carol", "", 0, 0x03},
      {"default VI carol", "carol", "default", 0x44, 0x44},
      {"ops CDVM ", "alice", "", 0, 0},
      {"ops  alice", "alice", "ops", 0, 0},
      {"ops\tx V alice", "alice", "ops\tx", 0x04, 0},
      {"ops V a,,alice", "alice", "ops", 0x04, 0},
  };
  for (const auto& c : cases) {
    reset(c.admin);
    std::string line = c.line;
    parse_acl_line(line.data());
    EXPECT_EQ(page.acl_entry, c.entry) << c.line;
    EXPECT_EQ(acl.rights, c.rights) << c.line;
    EXPECT_EQ(acl.default_rights, c.default_rights) << c.line;
  }
}

TEST(AclLine, EmptyAdministratorNameMatchesNoList) {
  reset("");
  std::string line = "ops * ,";
  parse_acl_line(line.data());
  EXPECT_EQ(page.acl_entry, "");
}

// acl_init reads larkspur.acl from the working directory.
class AclFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
    ASSERT_EQ(chdir(box_.www().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(saved_), 0); }
  Sandbox box_;
  char saved_[4096];
};

TEST_F(AclFile, FirstListingLineWinsElseTheDefaultEntry) {
  const struct {
    std::string file;
    const char* admin;
    const char* entry;
    int32_t rights;
  } cases[] = {
      {"admins * alice,bob\ndefault VI x\n", "alice", "admins", 0xFF},
      {"admins * alice,bob\ndefault VI x\n", "carol", "default", 0x44},
      {"default VI x\nadmins * alice\ndefault C x\n", "alice", "admins", 0xFF},
      {"default VI x\nadmins * alice\ndefault C x\n", "carol", "default", 0x01},
      {"a C alice\nb D alice\n", "alice", "a", 0x01},
      {"# comment\n\r\n\nops M alice\r\n", "alice", "ops", 0x08},
      {"ops M alice", "alice", "default", 0},
      {"default VI x\nops M alice", "alice", "default", 0x44},
      {"", "alice", "default", 0},
  };
  for (const auto& c : cases) {
    write_file(box_.www() + "/larkspur.acl", c.file);
    reset(c.admin);
    acl_init();
    EXPECT_EQ(page.acl_entry, c.entry) << c.file;
    EXPECT_EQ(acl.rights, c.rights) << c.file;
  }
}

}  // namespace

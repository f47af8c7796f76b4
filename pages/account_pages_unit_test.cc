// The pieces of the account pages and the user list that no page shows on
// its own: how a mailbox-path line becomes the alias table's name, how
// dot-qmail files are cut into pieces, the last-login texts, and a new
// password that cannot be crypted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pages/account_pages.h"
#include "pages/show_users.h"

namespace {

TEST(AliasMailboxName, NamesTheMailboxDirectoryOrShowsTheLineItself) {
  const struct {
    std::string line, shown;
  } cases[] = {
      {"/d/example.com/joe/Maildir/\n", "joe"},
      {"/joe/Maildir/\n", "joe"},
      {"/d/0/ann/Maildir/", "ann"},  // no newline: its last two bytes go all the same
      {"./Maildir/\n", "./Maildir/"},
      {"Maildir/\n", "Maildir/"},
      {"x\n", "x"},
      {"x", "x"},
      {"/\n", "/"},
      {"//\n", "//"},
  };
  for (const auto& c : cases) EXPECT_EQ(alias_mailbox_name(c.line), c.shown) << c.line;
}

TEST(NextPiece, CutsLinesAtTheirNewlineOrAfter155Bytes) {
  const std::string whole = "a\n\n" + std::string(200, 'b') + "\nc";
  std::string_view text = whole;
  std::vector<std::string> pieces;
  for (std::string_view piece; next_piece(text, piece);) pieces.emplace_back(piece);
  EXPECT_EQ(pieces, (std::vector<std::string>{"a\n", "\n", std::string(155, 'b'),
                                              std::string(45, 'b') + "\n", "c"}));
}

TEST(LastLoginTexts, NeverLoggedInWithoutATimeOrAClientAddress) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(last_login_time_text(0), "never logged in");
  EXPECT_EQ(last_login_time_text(1000000000), "Sun Sep  9 01:46:40 2001\n");
  EXPECT_EQ(last_login_address_text(std::nullopt), "never logged in");
  EXPECT_EQ(last_login_address_text("0.0.0.0"), "never logged in");
  EXPECT_EQ(last_login_address_text("0.0.0.0\n"), "0.0.0.0\n");
  EXPECT_EQ(last_login_address_text("192.0.2.7"), "192.0.2.7");
}

char* failing_crypt(const char*, const char*) { return nullptr; }
char* token_crypt(const char*, const char*) { return const_cast<char*>("*0"); }
char* fixed_crypt(const char*, const char* setting) {
  static std::string result;
  result = std::string(setting) + "$hash";
  return result.data();
}

TEST(SetNewPassword, StoresTheHashOnlyWhenCryptWorksAndChangingIsAllowed) {
  const struct {
    const char* what;
    int32_t gid;
    CryptFunction crypt;
    int code;
    bool changed;
  } cases[] = {
      {"crypt works", 0, fixed_crypt, 0, true},
      {"crypt gives no text", 0, failing_crypt, -18, false},
      {"crypt gives a failure token", 0, token_crypt, -18, false},
      {"changing switched off", kDisablePasswordChanging, fixed_crypt, 0, false},
      {"other flags do not matter", kDisablePop | kDomainAdmin, fixed_crypt, 0, true},
  };
  for (const auto& c : cases) {
    password_record record;
    record.password = "$1$old$hash";
    record.gid = c.gid;
    EXPECT_EQ(set_new_password(record, "new secret", c.crypt), c.code) << c.what;
    if (c.changed) {
      EXPECT_EQ(record.password.rfind("$6$", 0), 0u) << c.what;
      EXPECT_NE(record.password, "$1$old$hash") << c.what;
      EXPECT_EQ(record.clear_password, "new secret") << c.what;
    } else {
      EXPECT_EQ(record.password, "$1$old$hash") << c.what;
      EXPECT_EQ(record.clear_password, "") << c.what;
    }
  }
}

}  // namespace

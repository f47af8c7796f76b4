#include "accounts/lastauth.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/testlib/testlib.h"

namespace {

// Whether a record means never logged in, and the address the tool shows:
// the account page judges the text as read, the tool after dropping its
// line end; both by the one rule.
TEST(Lastauth, NeverLoggedInIsNoRecordAnEmptyOneOrTheCreationAddress) {
  Sandbox box;
  password_record record;
  record.dir = box.root();
  const struct {
    const char* content;  // nullptr: no file
    bool never_as_read;
    std::optional<std::string> address;
  } cases[] = {
      {nullptr, true, std::nullopt},
      {"", true, std::nullopt},
      {"0.0.0.0", true, std::nullopt},
      {"0.0.0.0\n", false, std::nullopt},
      {"\r\n", false, std::nullopt},
      {"192.0.2.7", false, "192.0.2.7"},
      {"2001:db8::1\r\n", false, "2001:db8::1"},
  };
  for (const auto& c : cases) {
    unlink((box.root() + "/lastauth").c_str());
    if (c.content) write_file(box.root() + "/lastauth", c.content);
    const char* shown = c.content ? c.content : "(none)";
    EXPECT_EQ(lastauth_never(lastauth_text(record)), c.never_as_read) << shown;
    EXPECT_EQ(lastauth_address(record), c.address) << shown;
  }
}

}  // namespace

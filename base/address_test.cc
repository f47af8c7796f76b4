#include "base/address.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/site.h"
#include "tests/testlib/testlib.h"

namespace {

// Each case gets its own store root, no TESSERA_DOMAIN and a default-domain
// file that has not been read yet; the variable is put back afterwards.
class AddressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* saved = std::getenv("TESSERA_DOMAIN")) saved_env_ = saved;
    unsetenv("TESSERA_DOMAIN");
    site_set_root(sandbox_.root());
  }
  void TearDown() override {
    if (saved_env_) {
      setenv("TESSERA_DOMAIN", saved_env_->c_str(), 1);
    } else {
      unsetenv("TESSERA_DOMAIN");
    }
    site_set_root("");
  }
  void write_default_file(const std::string& content) {
    write_file(default_domain_path(), content);
  }

  Sandbox sandbox_;
  std::optional<std::string> saved_env_;
};

struct SplitCase {
  std::string address;
  int result;
  std::string lowered;  // the caller's address afterwards
  std::string user;
  std::string domain;
  std::string err;  // exact stderr
};

void expect_split(const SplitCase& c, size_t buffer_size = kNameBufferSize) {
  SCOPED_TRACE("address: " + c.address);
  std::string address = c.address;
  std::string user = "stale user";
  std::string domain = "stale.domain";
  testing::internal::CaptureStderr();
  int result = split_address(address, user, domain, buffer_size);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(address, c.lowered);
  EXPECT_EQ(user, c.user);
  EXPECT_EQ(domain, c.domain);
  EXPECT_EQ(err, c.err);
}

TEST(LowerName, LowersOnlyAsciiCapitalsAndKeeps156Characters) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"MiXeD.Example.COM", "mixed.example.com"},
      {"AZaz09", "azaz09"},
      // The neighbours of A..Z in ASCII stay as they are.
      {"@[`{", "@[`{"},
      // Bytes above 0x7f are not letters here, even when they spell one.
      {"\xC3\x84RGER", "\xC3\x84rger"},
      {std::string(156, 'Q'), std::string(156, 'q')},
      {std::string(157, 'Q'), std::string(156, 'q')},
      {std::string(150, 'x') + std::string(50, 'Y'),
       std::string(150, 'x') + std::string(6, 'y')},
  };
  for (const Case& c : cases) {
    std::string name = c.in;
    lower_name(name);
    EXPECT_EQ(name, c.out) << "input: " << c.in;
  }
}

TEST(UserNameOk, AcceptsLettersDigitsAndTheListedPunctuationOnly) {
  for (const std::string good :
       {"", "john", "John.Doe99", "!#$&'*+-./=?^_`{|}~", "a/b", "o'neil"}) {
    EXPECT_EQ(user_name_ok(good), 0) << "should pass: " << good;
  }
  const std::vector<std::string> bad_chars = {
      " ", "\"", "%", "(", ")", ",", ":", ";", "<", ">", "@", "[", "\\", "]",
      std::string(1, '\0'), "\x01", "\t", "\n", "\x7f", "\x80", "\xC3\xA9", "\xff"};
  for (const std::string& c : bad_chars) {
    EXPECT_EQ(user_name_ok("ab" + c + "cd"), -1) << "should fail: byte " << int(c[0]);
    EXPECT_EQ(user_name_ok(c), -1) << "should fail alone: byte " << int(c[0]);
  }
}

TEST(DomainNameOk, AcceptsLettersDigitsHyphenAndDotOnly) {
  for (const std::string good : {"", "example.com", "Mail-2.Example.ORG", "-.-"}) {
    EXPECT_EQ(domain_name_ok(good), 0) << "should pass: " << good;
  }
  for (const std::string bad : {"ex_ample.com", "a@b", "a b", "a/b", "a%b", "a:b",
                                "\xC3\xA9t\xC3\xA9.fr", "a\nb"}) {
    EXPECT_EQ(domain_name_ok(bad), -1) << "should fail: " << bad;
  }
}

// New names only: what a stored name may hold stays as the checks above.
TEST(NewNameOk, RefusesNamesThatLookLikeTheStoresHiddenWork) {
  struct Case {
    std::string name;
    int user, domain;  // new_user_name_ok, new_domain_name_ok
  } cases[] = {
      {"joe", 0, 0},
      {"a.b-c.example", 0, 0},
      {"x1.y", 0, 0},
      {".keep.99999999", -1, -1},
      {".evil.99999999", -1, -1},
      {"...", -1, -1},
      {".-.", -1, -1},
      {"keep.", 0, -1},
      {"a..b", 0, -1},
      {"-ab.com", 0, -1},
      {"ab-.com", 0, -1},
      {"ab.-com", 0, -1},
      {"ab.com-", 0, -1},
      {"a-b.com", 0, 0},
      {"a b", -1, -1},
      {"", 0, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(new_user_name_ok(c.name), c.user) << c.name;
    EXPECT_EQ(new_domain_name_ok(c.name), c.domain) << c.name;
  }
}

TEST_F(AddressTest, SplitsAtTheFirstAtElsePercentElseSlash) {
  const std::vector<SplitCase> cases = {
      {"John@Example.COM", 0, "john@example.com", "john", "example.com", ""},
      {"john%example.com", 0, "john%example.com", "john", "example.com", ""},
      {"john/example.com", 0, "john/example.com", "john", "example.com", ""},
      // "@" wins wherever it stands: a "%" before it stays in the user part
      // and is refused there, a "/" before it is a user-name character.
      {"jo%hn@example.com", -1, "jo%hn@example.com", "jo%hn", "example.com",
       "user invalid jo%hn\n"},
      {"jo/hn@example.com", 0, "jo/hn@example.com", "jo/hn", "example.com", ""},
      // Without "@", "%" wins over an earlier "/".
      {"a/b%example.com", 0, "a/b%example.com", "a/b", "example.com", ""},
      {"john%dept/example.com", -1, "john%dept/example.com", "john", "dept/example.com",
       "domain invalid dept/example.com\n"},
      // Only the first "@" separates.
      {"john@a@b.com", -1, "john@a@b.com", "john", "a@b.com", "domain invalid a@b.com\n"},
      {"John Smith@example.com", -1, "john smith@example.com", "john smith", "example.com",
       "user invalid john smith\n"},
      {"john@Ex_Ample.com", -1, "john@ex_ample.com", "john", "ex_ample.com",
       "domain invalid ex_ample.com\n"},
      {"@example.com", 0, "@example.com", "", "example.com", ""},
      // No domain, no TESSERA_DOMAIN, no file: the domain stays empty.
      {"john@", 0, "john@", "john", "", ""},
      {"JOHN", 0, "john", "john", "", ""},
      {"", 0, "", "", "", ""},
  };
  for (const SplitCase& c : cases) expect_split(c);
}

TEST_F(AddressTest, CutsTheAddressTo156BeforeSplittingAndEachPartToTheBuffer) {
  const std::string a150(150, 'a');
  const std::string long_domain = "@" + std::string(49, 'b');  // 200 characters in all
  expect_split({a150 + long_domain, 0, a150 + "@bbbbb", a150, "bbbbb", ""});
  // No separator: the 156 characters left keep 155 in the 156-byte buffer.
  expect_split({std::string(200, 'U'), 0, std::string(156, 'u'), std::string(155, 'u'), "",
                ""});
  // A smaller buffer cuts both parts to one byte less than its size.
  expect_split({"abcdefghijkl@example.com", 0, "abcdefghijkl@example.com", "abcdefghi",
                "example.c", ""},
               10);
  expect_split({"me@example.com", 0, "me@example.com", "", "", ""}, 1);
}

TEST_F(AddressTest, TesseraDomainIsCleanedInTheEnvironmentAndUsedAsItIs) {
  struct Case {
    std::string env, domain;
  };
  const std::vector<Case> cases = {
      {"my domain.com", "my_domain.com"},
      // Neither lower-cased nor checked: only the character set applies.
      {"Example.COM", "Example.COM"},
      {"ok_-.@x9", "ok_-.@x9"},
      {"../etc/passwd", ".._etc_passwd"},
      {"a\nb\tc;d", "a_b_c_d"},
      {"\xC3\xBC.de", "__.de"},
      {"", ""},
      {std::string(120, 'e'), std::string(96, 'e')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("TESSERA_DOMAIN=" + c.env);
    setenv("TESSERA_DOMAIN", c.env.c_str(), 1);
    std::string address = "john";
    std::string user, domain;
    EXPECT_EQ(split_address(address, user, domain), 0);
    EXPECT_EQ(user, "john");
    EXPECT_EQ(domain, c.domain);
    // The environment's own value holds the cleaned text (not cut).
    std::string cleaned = std::getenv("TESSERA_DOMAIN");
    EXPECT_EQ(cleaned.substr(0, kDefaultDomainLimit), c.domain);
    EXPECT_EQ(cleaned.size(), c.env.size());
  }
}

TEST_F(AddressTest, EnvironmentWinsOverTheFileAndIsReadOnEveryUse) {
  write_default_file("file.example\n");
  setenv("TESSERA_DOMAIN", "first.example", 1);
  std::string domain;
  apply_default_domain(domain);
  EXPECT_EQ(domain, "first.example");

  setenv("TESSERA_DOMAIN", "second.example", 1);
  domain.clear();
  apply_default_domain(domain);
  EXPECT_EQ(domain, "second.example");

  unsetenv("TESSERA_DOMAIN");
  domain.clear();
  apply_default_domain(domain);
  EXPECT_EQ(domain, "file.example");
}

TEST_F(AddressTest, ANamedDomainIsLeftAlone) {
  write_default_file("file.example\n");
  setenv("TESSERA_DOMAIN", "env.example", 1);
  std::string domain = "Given.Example";
  apply_default_domain(domain);
  EXPECT_EQ(domain, "Given.Example");

  std::string address = "john@given.example";
  std::string user;
  EXPECT_EQ(split_address(address, user, domain), 0);
  EXPECT_EQ(domain, "given.example");
}

TEST_F(AddressTest, DefaultDomainFileIsReadOncePerProcess) {
  write_default_file("first.example\n");
  std::string address = "john";
  std::string user, domain;
  ASSERT_EQ(split_address(address, user, domain), 0);
  EXPECT_EQ(domain, "first.example");

  write_default_file("second.example\n");
  address = "jane";
  ASSERT_EQ(split_address(address, user, domain), 0);
  EXPECT_EQ(domain, "first.example");
  EXPECT_EQ(default_domain_file(), "first.example");

  // Another root reads its own file; the first root keeps its one read.
  Sandbox other;
  site_set_root(other.root());
  write_default_file("other.example\n");
  EXPECT_EQ(default_domain_file(), "other.example");
  site_set_root(sandbox_.root());
  EXPECT_EQ(default_domain_file(), "first.example");
}

TEST_F(AddressTest, AMissingDefaultDomainFileIsRememberedAsEmpty) {
  EXPECT_EQ(default_domain_file(), "");
  write_default_file("late.example\n");
  std::string domain;
  apply_default_domain(domain);
  EXPECT_EQ(domain, "");
}

TEST_F(AddressTest, DefaultDomainFileKeepsItsFirstLineUpTo96Characters) {
  struct Case {
    std::string content, text;
  };
  const std::vector<Case> cases = {
      {"example.com\n", "example.com"},
      {"example.com", "example.com"},
      {"example.com\nsecond.line\n", "example.com"},
      {"\nexample.com\n", ""},
      {"", ""},
      // Only the "\n" goes; the text is not checked or lower-cased.
      {"Example.COM\r\n", "Example.COM\r"},
      {std::string("exa\0mple\n", 9), "exa"},
      {std::string(96, 'd') + "\n", std::string(96, 'd')},
      {std::string(130, 'd') + "\n", std::string(96, 'd')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("file: " + c.content);
    Sandbox fresh;  // a root whose file has not been read yet
    site_set_root(fresh.root());
    write_default_file(c.content);
    EXPECT_EQ(default_domain_file(), c.text);
  }
}

}  // namespace

#include "accounts/hash_password.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/testlib/testlib.h"

namespace {

constexpr std::string_view kAlphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

bool salt_chars_only(std::string_view text) {
  return text.find_first_not_of(kAlphabet) == std::string_view::npos;
}

// The salt of a "$6$" hash: the 16 characters between the second and third "$".
std::string sha_salt(const std::string& hash) { return hash.substr(3, 16); }

// The same hash made by OpenSSL's own crypt of the scheme (-6, -1), from the
// salt we chose.
std::string openssl_crypt(const std::string& scheme, const std::string& salt,
                          const std::string& clear) {
  RunOptions options;
  options.argv = {"/usr/bin/openssl", "passwd", scheme, "-salt", salt, "--", clear};
  options.env = {"PATH=/usr/bin:/bin"};
  RunResult run = run_program(options);
  EXPECT_EQ(run.status, 0) << run.err;
  if (!run.out.empty() && run.out.back() == '\n') run.out.pop_back();
  return run.out;
}

TEST(HashPassword, Sha512HashesAreReproducedByOpenssl) {
  const std::vector<std::string> passwords = {
      "secret",
      "",
      "p@ss w0rd:with;punct\"'\\",
      "$6$notasalt$",
      "-leading-dash",
      "p\xC3\xA4sswo\xCC\x88rd",
      std::string(200, 'x'),
  };
  for (const std::string& clear : passwords) {
    SCOPED_TRACE("password: " + clear);
    std::string hashed;
    ASSERT_EQ(hash_password(clear, hashed), 0);
    ASSERT_EQ(hashed.size(), 106u) << hashed;
    EXPECT_EQ(hashed.substr(0, 3), "$6$");
    EXPECT_TRUE(salt_chars_only(sha_salt(hashed))) << hashed;
    EXPECT_EQ(hashed[19], '$');
    EXPECT_EQ(std::string(crypt(clear.c_str(), hashed.c_str())), hashed);
    // OpenSSL's SHA-512 crypt prints "<NULL>" for the empty password.
    if (!clear.empty()) {
      EXPECT_EQ(openssl_crypt("-6", sha_salt(hashed), clear), hashed);
    }
  }
}

TEST(HashPassword, SuccessiveHashesUseDifferentSalts) {
  std::set<std::string> salts;
  std::set<std::string> hashes;
  for (int i = 0; i < 20; ++i) {
    std::string hashed;
    ASSERT_EQ(hash_password("same password", hashed), 0);
    salts.insert(sha_salt(hashed));
    hashes.insert(hashed);
  }
  EXPECT_EQ(salts.size(), 20u);
  EXPECT_EQ(hashes.size(), 20u);
}

// A salt drawn from rand() repeats whenever the sequence is seeded alike, as
// it is in processes started in the same second: salts must not follow it.
TEST(HashPassword, SaltsDoNotFollowTheRandSequence) {
  std::string first, second;
  std::srand(1);
  ASSERT_EQ(hash_password("same password", first), 0);
  std::srand(1);
  ASSERT_EQ(hash_password("same password", second), 0);
  EXPECT_NE(sha_salt(first), sha_salt(second));
}

// A hash made under the older scheme, as tpasswd files already hold them,
// is still checked by the platform's crypt.
TEST(HashPassword, OlderMd5HashesStillCheckWithCrypt) {
  const std::string old = openssl_crypt("-1", "abcdefgh", "old secret");
  ASSERT_EQ(old.substr(0, 12), "$1$abcdefgh$");
  EXPECT_EQ(std::string(crypt("old secret", old.c_str())), old);
  EXPECT_NE(std::string(crypt("other", old.c_str())), old);
}

// Stand-ins for the platform's crypt, recording the settings they were given.
struct FakeCrypt {
  static inline std::vector<std::string> settings;
  static inline std::string kept;

  static char* keep(const char* text) {
    if (text == nullptr) return nullptr;
    kept = text;
    return kept.data();
  }
  // Lacks each scheme whose setting starts with one of `missing`; failure
  // reported libxcrypt's way, with a token, or an old library's way, reading
  // "$6" or "$1" as a DES salt.
  template <const char* missing, bool as_des>
  static char* lacks(const char* phrase, const char* setting) {
    settings.push_back(setting);
    std::string_view s = setting;
    for (std::string_view m = missing; !m.empty(); m.remove_prefix(3)) {
      if (!s.starts_with(m.substr(0, 3))) continue;
      return keep(as_des ? (std::string(s.substr(0, 2)) + "Ab3dEfGhIjK").c_str() : "*0");
    }
    return keep(crypt(phrase, setting));
  }
  static char* null_always(const char*, const char* setting) {
    settings.push_back(setting);
    return nullptr;
  }
  static char* token_always(const char*, const char* setting) {
    settings.push_back(setting);
    return keep("*1");
  }
  static char* token_then_null(const char*, const char* setting) {
    settings.push_back(setting);
    return setting[0] == '$' ? keep("*0") : nullptr;
  }
};

constexpr char kSha[] = "$6$";
constexpr char kShaMd5[] = "$6$$1$";

TEST(HashPassword, FallsBackSchemeBySchemeWhenCryptIgnoresTheSetting) {
  const struct {
    CryptFunction fake;
    std::vector<std::string> tried;  // the prefix of each setting, in order
  } cases[] = {
      {&FakeCrypt::lacks<kSha, false>, {"$6$", "$1$"}},
      {&FakeCrypt::lacks<kSha, true>, {"$6$", "$1$"}},
      {&FakeCrypt::lacks<kShaMd5, false>, {"$6$", "$1$", ""}},
      {&FakeCrypt::lacks<kShaMd5, true>, {"$6$", "$1$", ""}},
  };
  const std::map<std::string, std::pair<size_t, size_t>> sizes = {  // salt, whole hash
      {"$6$", {16, 106}}, {"$1$", {8, 34}}, {"", {2, 13}}};
  for (const auto& c : cases) {
    FakeCrypt::settings.clear();
    std::string hashed;
    ASSERT_EQ(hash_password_with(c.fake, "secret", hashed), 0);
    ASSERT_EQ(FakeCrypt::settings.size(), c.tried.size());
    for (size_t i = 0; i < c.tried.size(); ++i) {
      const std::string& setting = FakeCrypt::settings[i];
      EXPECT_EQ(setting.substr(0, c.tried[i].size()), c.tried[i]);
      EXPECT_EQ(setting.size(), c.tried[i].size() + sizes.at(c.tried[i]).first) << setting;
      EXPECT_TRUE(salt_chars_only(setting.substr(c.tried[i].size()))) << setting;
    }
    const std::string& last = FakeCrypt::settings.back();
    EXPECT_EQ(hashed.size(), sizes.at(c.tried.back()).second);
    EXPECT_EQ(hashed.substr(0, last.size()), last);
    EXPECT_EQ(hashed, std::string(crypt("secret", last.c_str())));
  }
}

TEST(HashPassword, CryptFailureIsReportedAndLeavesTheResultAlone) {
  struct Case {
    CryptFunction fake;
    size_t calls;  // a null first result ends the attempt at once
  };
  const std::vector<Case> cases = {
      {&FakeCrypt::null_always, 1},
      {&FakeCrypt::token_always, 3},
      {&FakeCrypt::token_then_null, 3},
  };
  for (const Case& c : cases) {
    FakeCrypt::settings.clear();
    std::string hashed = "untouched";
    EXPECT_EQ(hash_password_with(c.fake, "secret", hashed), -18);
    EXPECT_EQ(hashed, "untouched");
    EXPECT_EQ(FakeCrypt::settings.size(), c.calls);
  }
}

}  // namespace

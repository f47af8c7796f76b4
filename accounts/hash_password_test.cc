#include "accounts/hash_password.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
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

// The salt of a "$1$" hash: the 8 characters between the second and third "$".
std::string md5_salt(const std::string& hash) { return hash.substr(3, 8); }

// The same hash made by OpenSSL's own MD5-crypt, from the salt we chose.
std::string openssl_md5_crypt(const std::string& salt, const std::string& clear) {
  RunOptions options;
  options.argv = {"/usr/bin/openssl", "passwd", "-1", "-salt", salt, "--", clear};
  options.env = {"PATH=/usr/bin:/bin"};
  RunResult run = run_program(options);
  EXPECT_EQ(run.status, 0) << run.err;
  if (!run.out.empty() && run.out.back() == '\n') run.out.pop_back();
  return run.out;
}

TEST(HashPassword, Md5HashesAreReproducedByOpenssl) {
  const std::vector<std::string> passwords = {
      "secret",
      "",
      "p@ss w0rd:with;punct\"'\\",
      "$1$notasalt$",
      "-leading-dash",
      "p\xC3\xA4sswo\xCC\x88rd",
      std::string(200, 'x'),
  };
  for (const std::string& clear : passwords) {
    SCOPED_TRACE("password: " + clear);
    std::string hashed;
    ASSERT_EQ(hash_password(clear, hashed), 0);
    ASSERT_EQ(hashed.size(), 34u) << hashed;
    EXPECT_EQ(hashed.substr(0, 3), "$1$");
    EXPECT_TRUE(salt_chars_only(md5_salt(hashed))) << hashed;
    EXPECT_EQ(hashed[11], '$');
    EXPECT_EQ(openssl_md5_crypt(md5_salt(hashed), clear), hashed);
  }
}

TEST(HashPassword, SuccessiveHashesUseDifferentSalts) {
  std::set<std::string> salts;
  std::set<std::string> hashes;
  for (int i = 0; i < 20; ++i) {
    std::string hashed;
    ASSERT_EQ(hash_password("same password", hashed), 0);
    salts.insert(md5_salt(hashed));
    hashes.insert(hashed);
  }
  EXPECT_EQ(salts.size(), 20u);
  EXPECT_EQ(hashes.size(), 20u);
}

// The salts come from rand() seeded once with time XOR (pid << 15). The check
// needs a process whose sequence has not been seeded yet, so the test runs
// itself again as a fresh program and only the fresh copy does the work.
TEST(HashPassword, SaltsFollowTheOnceSeededRandSequence) {
  if (std::getenv("LARKSPUR_FRESH_SEED_CHECK") == nullptr) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    RunOptions options;
    options.argv = {self, "--gtest_filter=HashPassword.SaltsFollowTheOnceSeededRandSequence"};
    options.env = {"LARKSPUR_FRESH_SEED_CHECK=1"};
    RunResult run = run_program(options);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
    return;
  }
  uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  std::string first, second;
  ASSERT_EQ(hash_password("one", first), 0);
  ASSERT_EQ(hash_password("two", second), 0);
  uint32_t after = static_cast<uint32_t>(std::time(nullptr));
  std::string both = md5_salt(first) + md5_salt(second);

  bool found = false;
  for (uint32_t now = before; now <= after && !found; ++now) {
    std::srand(now ^ (static_cast<uint32_t>(getpid()) << 15));
    std::string expected;
    for (int i = 0; i < 16; ++i) expected.push_back(kAlphabet[std::rand() % 64]);
    found = expected == both;
  }
  EXPECT_TRUE(found) << "salts " << both << " are not the sequence seeded at start-up";
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
  // No MD5 scheme; failure reported libxcrypt's way, with a token.
  static char* no_md5_token(const char* phrase, const char* setting) {
    settings.push_back(setting);
    if (std::string_view(setting).starts_with("$1$")) return keep("*0");
    return keep(crypt(phrase, setting));
  }
  // No MD5 scheme; an old library reading "$1" as a DES salt.
  static char* no_md5_des(const char* phrase, const char* setting) {
    settings.push_back(setting);
    if (std::string_view(setting).starts_with("$1$")) return keep("$1Ab3dEfGhIjK");
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
    return std::string_view(setting).starts_with("$1$") ? keep("*0") : nullptr;
  }
};

TEST(HashPassword, FallsBackToDesWhenCryptIgnoresTheMd5Setting) {
  for (CryptFunction fake : {&FakeCrypt::no_md5_token, &FakeCrypt::no_md5_des}) {
    FakeCrypt::settings.clear();
    std::string hashed;
    ASSERT_EQ(hash_password_with(fake, "secret", hashed), 0);
    ASSERT_EQ(FakeCrypt::settings.size(), 2u);
    const std::string& md5_setting = FakeCrypt::settings[0];
    const std::string& des_setting = FakeCrypt::settings[1];
    EXPECT_EQ(md5_setting.size(), 11u);
    EXPECT_EQ(md5_setting.substr(0, 3), "$1$");
    EXPECT_TRUE(salt_chars_only(md5_setting.substr(3)));
    EXPECT_EQ(des_setting.size(), 2u);
    EXPECT_TRUE(salt_chars_only(des_setting));
    EXPECT_EQ(hashed.size(), 13u);
    EXPECT_EQ(hashed.substr(0, 2), des_setting);
    EXPECT_EQ(hashed, std::string(crypt("secret", des_setting.c_str())));
  }
}

TEST(HashPassword, CryptFailureIsReportedAndLeavesTheResultAlone) {
  struct Case {
    CryptFunction fake;
    size_t calls;  // a null first result ends the attempt at once
  };
  const std::vector<Case> cases = {
      {&FakeCrypt::null_always, 1},
      {&FakeCrypt::token_always, 2},
      {&FakeCrypt::token_then_null, 2},
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

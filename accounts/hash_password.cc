#include "accounts/hash_password.h"

#include <crypt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "base/error.h"

namespace {

constexpr std::string_view kSaltAlphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kPreferredPrefix = "$1$";
constexpr int kPreferredSaltChars = 8;
constexpr int kFallbackSaltChars = 2;

struct SaltSource {
  bool seeded = false;
};

SaltSource& salt_source() {
  static SaltSource source;
  return source;
}

void seed_once() {
  SaltSource& source = salt_source();
  if (source.seeded) return;
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  uint32_t pid = static_cast<uint32_t>(getpid());
  std::srand(now ^ (pid << 15));
  source.seeded = true;
}

std::string salt(std::string_view prefix, int chars) {
  std::string text(prefix);
  for (int i = 0; i < chars; ++i) text.push_back(kSaltAlphabet[std::rand() % 64]);
  return text;
}

// A crypt result made with the given setting starts with that setting; a null
// pointer, a failure token ("*0", "*1") or a hash of another scheme does not.
bool made_with(const char* result, const std::string& setting) {
  return result != nullptr && std::string_view(result).starts_with(setting);
}

}  // namespace

int hash_password_with(CryptFunction crypt_function, const std::string& clear,
                       std::string& hashed) {
  seed_once();
  std::string setting = salt(kPreferredPrefix, kPreferredSaltChars);
  const char* result = crypt_function(clear.c_str(), setting.c_str());
  if (result == nullptr) return kErrCrypt;
  if (!made_with(result, setting)) {
    // The platform lacks the MD5-based scheme: fall back to DES.
    setting = salt("", kFallbackSaltChars);
    result = crypt_function(clear.c_str(), setting.c_str());
    if (!made_with(result, setting)) return kErrCrypt;
  }
  hashed.assign(result);
  return kSuccess;
}

int hash_password(const std::string& clear, std::string& hashed) {
  return hash_password_with(&crypt, clear, hashed);
}

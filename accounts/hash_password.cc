#include "accounts/hash_password.h"

#include <crypt.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "base/error.h"

namespace {

constexpr std::string_view kSaltAlphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The schemes tried, strongest first. A platform's crypt that does not know
// a scheme gives a failure token or a hash of another form, never one that
// starts with the setting it was handed: the next scheme is then tried.
struct Scheme {
  std::string_view prefix;
  size_t salt_chars;
};
constexpr Scheme kSchemes[] = {
    {"$6$", 16},  // SHA-512 crypt
    {"$1$", 8},   // MD5 crypt
    {"", 2},      // traditional DES
};

// Fills bytes from the kernel's random source, waiting through a signal.
bool random_bytes(unsigned char* bytes, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = getrandom(bytes + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// PREFIX and salt_chars fresh salt characters. 256 is a multiple of 64, so
// each byte picks every character of the alphabet alike. Empty when the
// random source fails: a predictable salt is never made instead.
std::string setting_for(const Scheme& scheme) {
  unsigned char bytes[16];
  if (scheme.salt_chars > sizeof bytes || !random_bytes(bytes, scheme.salt_chars)) return "";
  std::string text(scheme.prefix);
  for (size_t i = 0; i < scheme.salt_chars; ++i) text.push_back(kSaltAlphabet[bytes[i] % 64]);
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
  for (const Scheme& scheme : kSchemes) {
    std::string setting = setting_for(scheme);
    if (setting.empty()) return kErrCrypt;
    const char* result = crypt_function(clear.c_str(), setting.c_str());
    // No text at all is a failure of crypt itself, not a scheme it lacks.
    if (result == nullptr) return kErrCrypt;
    if (made_with(result, setting)) {
      hashed.assign(result);
      return kSuccess;
    }
  }
  return kErrCrypt;
}

int hash_password(const std::string& clear, std::string& hashed) {
  return hash_password_with(&crypt, clear, hashed);
}

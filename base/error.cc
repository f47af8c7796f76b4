#include "base/error.h"

#include <cstdio>
#include <cstdlib>

int32_t last_error = 0;

namespace {

constexpr const char* kUnknown = "Unknown error";

// Indexed by code + 55: the first entry is code -55, the last code 0.
constexpr const char* kMessages[56] = {
    "can't delete catchall account",                              // -55
    "parsing database configuration file - readonly database",   // -54
    "parsing database configuration file - readonly password",   // -53
    "parsing database configuration file - readonly user",       // -52
    "parsing database configuration file - readonly port",       // -51
    "parsing database configuration file - readonly server",     // -50
    "parsing database configuration file - update database",     // -49
    "parsing database configuration file - update password",     // -48
    "parsing database configuration file - update user",         // -47
    "parsing database configuration file - update port",         // -46
    "parsing database configuration file - update server",       // -45
    kUnknown,                                                     // -44
    kUnknown,                                                     // -43
    kUnknown,                                                     // -42
    kUnknown,                                                     // -41
    kUnknown,                                                     // -40
    kUnknown,                                                     // -39
    kUnknown,                                                     // -38
    "can't read users/assign file",                               // -37
    "can't read domain limits",                                   // -36
    "parsing database configuration file",                        // -35
    "invalid email character",                                    // -34
    "null pointer",                                               // -33
    "alias line too long",                                        // -32
    "clear password too long",                                    // -31
    "dir too long",                                               // -30
    "quota too long",                                             // -29
    "gecos too long",                                             // -28
    "password too long",                                          // -27
    "domain name too long",                                       // -26
    "user name too long",                                         // -25
    "memory allocation error",                                    // -24
    "no authentication database connection",                      // -23
    "running as invalid uid",                                     // -22
    kUnknown,                                                     // -21
    "bad character",                                              // -20
    "Could not open dot qmail file",                              // -19
    "Crypt failed",                                               // -18
    "Could not update file",                                      // -17
    "Can not make domains directory",                             // -16
    "Could not open qmail default",                               // -15
    "Could not make domain dir",                                  // -14
    "Domain already exists",                                      // -13
    "Invalid domain name",                                        // -12
    "Domain does not exist",                                      // -11
    "User does not exist",                                        // -10
    "Creation of user's subdirectories failed",                   // -9
    "Unable to chdir to user's directory",                        // -8
    "User's directory already exists",                            // -7
    "Unable to chdir to tessera/domains/domain directory",        // -6
    "Unable to chdir to tessera/domains directory",               // -5
    "Unable to chdir to tessera/users directory",                 // -4
    "Unable to chdir to tessera directory",                       // -3
    "Username exists",                                            // -2
    "Illegal username",                                           // -1
    "Success",                                                    // 0
};

}  // namespace

const char* error_string(int32_t code) {
  // One unsigned comparison rejects both positive codes and those below -55.
  uint32_t index = static_cast<uint32_t>(code) + 55u;
  if (index > 55u) return kUnknown;
  return kMessages[index];
}

void store_exit(int status) {
  std::fflush(stdout);
  std::exit(status);
}

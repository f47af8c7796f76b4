// One mailbox's line of a domain's password file, as lookups hand it out,
// and the account flag bits of its flag words.
//
// gid is the account's own flag word, the one stored in the line; flags is
// the effective word, gid combined with what the domain's limits impose
// (see domains/limits.h). Neither is ever a real group id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The field limits of a password line.
inline constexpr size_t kUserNameMax = 32;
inline constexpr size_t kPasswordMax = 128;
inline constexpr size_t kGecosMax = 48;
inline constexpr size_t kMailboxDirMax = 160;
inline constexpr size_t kQuotaTextMax = 20;

struct password_record {
  std::string name;            // at most 32 characters
  std::string password;        // crypted, at most 128
  int32_t uid = 0;             // 1 when the line is created, then carried
  int32_t gid = 0;             // the account's own flags
  int32_t flags = 0;           // effective flags, computed after each read
  std::string gecos;           // full name, at most 48, never ":"
  std::string dir;             // the mailbox directory, at most 160
  std::string quota;           // "NOQUOTA" or a quota text
  std::string clear_password;  // optional eighth field
};

inline constexpr int32_t kDisablePasswordChanging = 0x1;
inline constexpr int32_t kDisablePop = 0x2;
inline constexpr int32_t kDisableWebmail = 0x4;
inline constexpr int32_t kDisableImap = 0x8;
inline constexpr int32_t kBounceMail = 0x10;
inline constexpr int32_t kDisableExternalRelay = 0x20;
inline constexpr int32_t kDisableDialup = 0x40;
inline constexpr int32_t kDisableSmtp = 0x800;
inline constexpr int32_t kDomainAdmin = 0x1000;
inline constexpr int32_t kIgnoreDomainLimits = 0x2000;
inline constexpr int32_t kDisableSpamassassin = 0x4000;
inline constexpr int32_t kDeleteSpam = 0x8000;
inline constexpr int32_t kDisableMaildrop = 0x40000;

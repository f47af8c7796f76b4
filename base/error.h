// The store's failure codes and their messages.
//
// Every store routine that returns a StoreError returns kSuccess (0) or one
// of the negative codes below; routines that return a pointer or a truth value
// leave their failure code in last_error. The store never prints a code's
// message itself (domain removal excepted); the pages do, via error_string.
#pragma once

#include <cstdint>

enum StoreError : int32_t {
  kSuccess = 0,
  kErrIllegalUsername = -1,
  // -1 is also the store's general failure (a file that could not be
  // written, a table that could not be changed); its message stays
  // "Illegal username".
  kErrFailed = -1,
  kErrUsernameExists = -2,
  kErrChdirStore = -3,
  kErrChdirUsers = -4,
  kErrChdirDomains = -5,
  kErrChdirDomainDir = -6,
  kErrUserDirExists = -7,
  kErrChdirUserDir = -8,
  kErrUserSubdirs = -9,
  kErrNoUser = -10,
  kErrNoDomain = -11,
  kErrInvalidDomain = -12,
  kErrDomainExists = -13,
  kErrMakeDomainDir = -14,
  kErrQmailDefault = -15,
  kErrMakeDomainsDir = -16,
  kErrUpdateFile = -17,
  kErrCrypt = -18,
  kErrDotQmail = -19,
  kErrBadChar = -20,
  kErrBadUid = -22,
  kErrNoAuthDb = -23,
  kErrMemory = -24,
  kErrUserTooLong = -25,
  kErrDomainTooLong = -26,
  kErrPasswordTooLong = -27,
  kErrGecosTooLong = -28,
  kErrQuotaTooLong = -29,
  kErrDirTooLong = -30,
  kErrClearTooLong = -31,
  kErrAliasLineTooLong = -32,
  kErrNullPointer = -33,
  kErrEmailChar = -34,
  kErrDbConfig = -35,
  kErrDomainLimits = -36,
  kErrAssignFile = -37,
  kErrCatchall = -55,
  // The routing writers' refusals (aliases, a mailbox's forwards and
  // vacation reply); their messages are routing_error_string's
  // (accounts/routing.h), so error_string's table stays as it is.
  kErrAliasExists = -60,
  kErrNoAlias = -61,
  kErrAliasLimit = -62,
  kErrBadDestination = -63,
  kErrNameIsMailbox = -64,
  kErrBadAliasName = -65,
  kErrForwardLimit = -66,
  kErrVacationLimit = -67,
  kErrBadDate = -68,
  kErrBadSubject = -69,
  kErrBadText = -70,
  kErrTooManyForwards = -71,
  kErrForeignLines = -72,
};

// A code that travels as a plain int (a routine's result handed on, a
// stored result) as the named type again; the value is kept as it is.
constexpr StoreError store_code(int code) { return static_cast<StoreError>(code); }

// The code of the last failure of a pointer- or truth-valued store routine.
// Starts at 0; error_string never resets it.
extern int32_t last_error;

// The constant message of a code; "Unknown error" outside -55..0 and for
// the codes that have no message of their own. Never fails.
const char* error_string(int32_t code);

// Ends the process: closes the store's authentication backend (nothing to
// close here) and exits with the status, after flushing the page.
[[noreturn]] void store_exit(int status);

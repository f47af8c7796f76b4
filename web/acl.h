// The administrator's rights, read once per request from larkspur.acl in
// the working directory.
//
// File format: one entry per line, "NAME RIGHTS USERS" with exactly two
// blanks. Lines starting with "#", a carriage return or a newline are
// skipped. RIGHTS: empty gives none, a leading "*" gives all, otherwise the
// union of the letters below (others ignored, case counts). USERS: names
// separated by commas, compared exactly with the administrator's name. The
// entry named "default" (any case) gives the rights of everyone no entry
// lists. Lines are read in pieces of at most 79 characters (a longer line
// continues as a line of its own); a last line without a newline is not
// used. The first entry that lists the administrator wins.
#pragma once

#include <cstddef>
#include <cstdint>

enum Right : uint8_t {
  kRightAddUser = 0x01,       // "C"
  kRightDeleteUser = 0x02,    // "D"
  kRightViewUser = 0x04,      // "V"
  kRightModifyUser = 0x08,    // "M"
  kRightAddDomain = 0x10,     // "A"
  kRightDeleteDomain = 0x20,  // "X"
  kRightViewDomain = 0x40,    // "I"
  kRightModifyDomain = 0x80,  // "U"
};

inline constexpr int32_t kAllRights = 0xFF;

// larkspur.acl is read in pieces of this many bytes (78 characters and a
// line end, or 79 characters of a longer line).
inline constexpr size_t kAclPiece = 80;

struct AclState {
  int32_t rights = 0;          // the administrator's rights
  int32_t default_rights = 0;  // the "default" entry's rights
};

extern AclState acl;

// Reads larkspur.acl and sets acl.rights and page.acl_entry ("default"
// when no entry lists the administrator). An unreadable file ("Unable to
// read access lists") or a malformed line ("Syntax erorr in access lists")
// ends the request with html/init_error.html.
void acl_init();

// Reads entries until the administrator's is found or the file ends.
void read_acl_file();

// Parses one line (already cut at its line end); if it lists the
// administrator, sets page.acl_entry and acl.rights. A line without exactly
// two blanks ends the request.
void parse_acl_line(char* line);

// The rights a rights field gives.
int32_t rights_from_field(const char* field);

// Whether the administrator holds the right.
inline bool has_right(Right right) { return (acl.rights & right) != 0; }

// The administrator's rights, read once per request from larkspur.acl in
// the working directory.
#pragma once

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

struct AclState {
  int32_t rights = 0;          // the administrator's rights
  int32_t default_rights = 0;  // the "default" entry's rights
};

extern AclState acl;

// Reads larkspur.acl and sets acl.rights and page.acl_entry ("default"
// when no entry lists the administrator). An unreadable file or a
// malformed line ends the request with its error page.
void acl_init();

// Reads entries until the administrator's is found or the file ends.
void read_acl_file();

// Parses one line (already cut at its line end); if it lists the
// administrator, sets page.acl_entry and acl.rights.
void parse_acl_line(char* line);

// Whether the administrator holds the right.
inline bool has_right(Right right) { return (acl.rights & right) != 0; }

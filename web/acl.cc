#include "web/acl.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "web/page.h"

AclState acl;

namespace {

constexpr char kAclFile[] = "larkspur.acl";
constexpr char kDefaultEntry[] = "default";

int32_t right_of_letter(char letter) {
  switch (letter) {
    case 'C': return kRightAddUser;
    case 'D': return kRightDeleteUser;
    case 'V': return kRightViewUser;
    case 'M': return kRightModifyUser;
    case 'A': return kRightAddDomain;
    case 'X': return kRightDeleteDomain;
    case 'I': return kRightViewDomain;
    case 'U': return kRightModifyDomain;
    default: return 0;
  }
}

bool skipped_line(const char* piece) {
  return piece[0] == '#' || piece[0] == '\r' || piece[0] == '\n' || piece[0] == '\0';
}

// Whether the comma-separated list names the administrator. Empty names
// between separators are no names, so an empty administrator name never
// matches a list.
bool lists_admin(char* users) {
  for (char* name = std::strtok(users, ", "); name != nullptr; name = std::strtok(nullptr, ", ")) {
    if (page.admin_user == name) return true;
  }
  return false;
}

}  // namespace

int32_t rights_from_field(const char* field) {
  if (field[0] == '*') return kAllRights;
  int32_t rights = 0;
  for (const char* p = field; *p != '\0'; ++p) rights |= right_of_letter(*p);
  return rights;
}

void parse_acl_line(char* line) {
  char* first_blank = std::strchr(line, ' ');
  char* second_blank = first_blank != nullptr ? std::strchr(first_blank + 1, ' ') : nullptr;
  if (second_blank == nullptr || std::strchr(second_blank + 1, ' ') != nullptr) {
    request_error("Syntax erorr in access lists", kStatusServerError);
  }
  *first_blank = '\0';
  *second_blank = '\0';
  const char* name = line;
  const int32_t rights = rights_from_field(first_blank + 1);
  if (strcasecmp(name, kDefaultEntry) == 0) acl.default_rights = rights;
  if (lists_admin(second_blank + 1)) {
    page.acl_entry = field_text(name, kTextField);
    acl.rights = rights;
  }
}

void read_acl_file() {
  FILE* file = std::fopen(kAclFile, "r");
  if (file == nullptr) request_error("Unable to read access lists", kStatusServerError);
  char piece[kAclPiece];
  for (;;) {
    std::memset(piece, 0, sizeof piece);
    // As with templates, the piece that reaches the end of the file is not
    // used: a last line without a newline grants nothing.
    if (std::fgets(piece, sizeof piece, file) == nullptr || std::feof(file)) break;
    if (skipped_line(piece)) continue;
    piece[std::strcspn(piece, "\r\n")] = '\0';
    parse_acl_line(piece);
    if (!page.acl_entry.empty()) break;
  }
  std::fclose(file);
}

void acl_init() {
  read_acl_file();
  if (page.acl_entry.empty()) {
    acl.rights = acl.default_rights;
    page.acl_entry = kDefaultEntry;
  }
}

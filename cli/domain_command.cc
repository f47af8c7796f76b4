// tessera domain add|del|alias|show|list|usage|catchall.
#include <cstdio>

#include "base/mailbox.h"
#include "base/error.h"
#include "base/site.h"
#include "cli/command.h"
#include "cli/json.h"
#include "domains/assign.h"
#include "domains/domain.h"

namespace {

int show_domain(const DomainName& asked) {
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;  // the real domain's
  if (!tget_assign(asked, &dir, 300, &uid, &gid, &name)) return report_failure(kErrNoDomain);
  if (json_output()) {
    print_json(JsonObject()
                   .text("name", asked.str())
                   .text("real", name)
                   .number("uid", uid)
                   .number("gid", gid)
                   .text("dir", dir)
                   .object());
    return 0;
  }
  printf("%s\t%s\t%u\t%u\n", name.c_str(), dir.c_str(), uid, gid);
  return 0;
}

int list_domains(const std::string& name) {
  AssignEntries entries{DomainName(name)};
  if (!entries.opened()) return report_failure(kErrAssignFile);
  std::vector<std::string> documents;
  for (const AssignEntry* entry = entries.next(); entry; entry = entries.next()) {
    if (json_output()) {
      documents.push_back(JsonObject()
                              .text("name", entry->name)
                              .text("real", entry->real_domain)
                              .number("uid", entry->uid)
                              .number("gid", entry->gid)
                              .text("dir", entry->dir)
                              .object());
    } else {
      printf("%s\t%s\t%d\t%d\t%s\n", entry->name.c_str(), entry->real_domain.c_str(),
             entry->uid, entry->gid, entry->dir.c_str());
    }
  }
  if (json_output()) print_json(json_array(documents));
  return 0;
}

}  // namespace

int report_failure(int32_t code) { return report_failure(error_string(code)); }

int report_failure(const char* message) {
  fflush(stdout);
  fprintf(stderr, "%s\n", message);
  return 1;
}

int report_done(int32_t code, const std::string& object, const std::string& what) {
  if (code != 0) return report_failure(code);
  printf("%s: %s\n", object.c_str(), what.c_str());
  return 0;
}

int domain_command(const Words& words) {
  if (words.empty()) return kUsageStatus;
  const std::string& command = words[0];
  size_t arguments = words.size() - 1;
  if (command == "add" && arguments == 1) {
    const DomainName name(words[1]);
    return report_done(create_domain(name, tessera_home(), kStoreUid, kStoreGid), name,
                       "domain created");
  }
  if (command == "del" && arguments == 1) {
    const DomainName name(words[1]);
    return report_done(delete_domain(name), name, "domain removed");
  }
  if (command == "alias" && arguments == 2) {
    const DomainName alias(words[1]);
    const DomainName real(words[2]);
    return report_done(create_alias_domain(alias, real), alias,
                       "alias domain of " + real.str() + " created");
  }
  if (command == "show" && arguments == 1) return show_domain(DomainName(words[1]));
  if (command == "list" && arguments <= 1) return list_domains(arguments ? words[1] : "");
  if (command == "usage" && arguments <= 1) return domain_usage(Words(words.begin() + 1, words.end()));
  if (command == "catchall" && (arguments == 1 || arguments == 2)) {
    return domain_catchall(Words(words.begin() + 1, words.end()));
  }
  return kUsageStatus;
}

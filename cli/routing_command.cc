// tessera alias add|del|show|list and domain catchall: a domain's aliases
// and what becomes of mail for its addresses without a mailbox.
#include <cstdio>

#include "accounts/routing.h"
#include "base/address.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/mailbox.h"

namespace {

int routing_failure(int32_t code) { return report_failure(routing_error_string(code)); }

int routing_done(int32_t code, const std::string& object, const std::string& what) {
  if (code != 0) return routing_failure(code);
  return report_done(code, object, what);
}

std::string address_of(const Mailbox& mailbox) { return mailbox.user + "@" + mailbox.domain.str(); }

// "ADDRESS\tDEST\tDEST..." as show and list print an alias.
void print_alias(const std::string& address, const AliasEntry& alias,
                 std::vector<std::string>& documents) {
  if (json_output()) {
    documents.push_back(JsonObject()
                            .text("address", address)
                            .document("destinations", json_text_array(alias.destinations))
                            .object());
    return;
  }
  std::string line = address;
  for (const std::string& destination : alias.destinations) line += "\t" + destination;
  printf("%s\n", line.c_str());
}

int show_alias(const Mailbox& mailbox) {
  std::optional<AliasEntry> alias = alias_find(mailbox);
  if (!alias) return routing_failure(last_error);
  std::vector<std::string> documents;
  print_alias(address_of(mailbox), *alias, documents);
  if (json_output()) print_json(documents[0]);
  return 0;
}

int list_aliases(const DomainName& domain) {
  std::optional<std::vector<AliasEntry>> aliases = alias_list(domain);
  if (!aliases) return routing_failure(last_error);
  std::vector<std::string> documents;
  for (const AliasEntry& alias : *aliases) {
    print_alias(alias.name + "@" + domain.str(), alias, documents);
  }
  if (json_output()) print_json(json_array(documents));
  return 0;
}

const char* kActionNames[] = {"bounce", "delete", "mailbox", "forward", "unknown"};

int show_catchall(const DomainName& domain) {
  std::optional<CatchAll> catchall = catchall_get(domain);
  if (!catchall) return routing_failure(last_error);
  const char* action = kActionNames[static_cast<int>(catchall->kind)];
  if (json_output()) {
    JsonObject object;
    object.text("domain", domain.str()).text("action", action).text("target", catchall->target);
    object.optional_text("mailbox", catchall->mailbox.empty()
                                        ? std::nullopt
                                        : std::optional<std::string>(catchall->mailbox));
    print_json(object.text("line", catchall->line).object());
    return 0;
  }
  switch (catchall->kind) {
    case NoMailboxKind::kBounce:
    case NoMailboxKind::kDelete:
      printf("%s\n", action);
      break;
    case NoMailboxKind::kPath:
      printf("%s\t%s\t%s\n", action, catchall->mailbox.c_str(), catchall->target.c_str());
      break;
    case NoMailboxKind::kAddress:
      printf("%s\t%s\n", action, catchall->target.c_str());
      break;
    case NoMailboxKind::kUnknown:
      printf("%s\t%s\n", action, catchall->line.c_str());
      break;
  }
  return 0;
}

}  // namespace

int alias_command(const Words& words) {
  if (words.size() < 2) return kUsageStatus;
  const std::string& command = words[0];
  if (command == "list") {
    return words.size() == 2 ? list_aliases(DomainName(words[1])) : kUsageStatus;
  }
  const bool adds = command == "add" && words.size() >= 3;
  if (!adds && !((command == "del" || command == "show") && words.size() == 2)) {
    return kUsageStatus;
  }
  Mailbox mailbox;
  if (int code = parse_mailbox(words[1], mailbox); code != 0) return report_failure(code);
  const std::string address = address_of(mailbox);
  if (command == "show") return show_alias(mailbox);
  if (command == "del") return routing_done(alias_delete(mailbox), address, "alias removed");
  bool created = false;
  int code = alias_set(mailbox, Words(words.begin() + 2, words.end()), &created);
  return routing_done(code, address, created ? "alias created" : "alias changed");
}

int domain_catchall(const Words& words) {
  const DomainName domain(words[0]);
  if (words.size() == 1) return show_catchall(domain);
  std::string choice = words[1];
  int code = catchall_set(domain, choice);
  lower_name(choice);
  std::string what = choice == "bounce" || choice == "delete" ? choice
                     : choice.find('@') != std::string::npos ? "forward to " + choice
                                                              : "mailbox " + choice;
  return routing_done(code, domain.str(), "catch-all set to " + what);
}

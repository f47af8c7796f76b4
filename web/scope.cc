#include "web/scope.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>

#include "base/address.h"
#include "base/mailbox.h"
#include "web/page.h"

ScopeState scope;

namespace {

constexpr std::string_view kBlanks = " \t";

// The page variable that hides what a scoped administrator may not use.
constexpr char kHiddenVar[] = "SC";

[[noreturn]] void malformed(size_t number) {
  request_error("Syntax error in larkspur.scope, line " + std::to_string(number),
                kStatusServerError);
}

// Adds the line's domains when it names the administrator. A line that
// does not parse ends the request, wherever it stands in the file: a
// scope file is either understood whole or not used at all.
void take_line(std::string_view line, size_t number) {
  std::string name;
  std::vector<std::string> domains;
  switch (split_scope_line(line, &name, &domains)) {
    case ScopeLine::kSkipped: return;
    case ScopeLine::kMalformed: malformed(number);
    case ScopeLine::kEntry: break;
  }
  if (name != page.admin_user) return;
  scope.scoped = true;
  for (std::string& domain : domains) scope.domains.push_back(std::move(domain));
}

}  // namespace

ScopeLine split_scope_line(std::string_view line, std::string* name,
                           std::vector<std::string>* domains) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t start = line.find_first_not_of(kBlanks);
  if (start == std::string_view::npos || line[start] == '#') return ScopeLine::kSkipped;
  line.remove_prefix(start);
  const size_t name_end = line.find_first_of(kBlanks);
  if (name_end == std::string_view::npos) return ScopeLine::kMalformed;
  std::string_view list = line.substr(name_end);
  const size_t list_start = list.find_first_not_of(kBlanks);
  if (list_start == std::string_view::npos) return ScopeLine::kMalformed;
  list.remove_prefix(list_start);
  const size_t list_end = std::min(list.find_first_of(kBlanks), list.size());
  // Only blanks may follow the list: a second list would be a typo that
  // could grant a name nobody meant.
  if (list.find_first_not_of(kBlanks, list_end) != std::string_view::npos) {
    return ScopeLine::kMalformed;
  }
  list = list.substr(0, list_end);
  std::vector<std::string> found;
  for (;;) {
    const size_t comma = std::min(list.find(','), list.size());
    // An empty name (",a", "a,,b", "a,") or one no domain can have is a
    // typo the site should hear of, not a grant of nothing.
    if (comma == 0 || domain_name_ok(list.substr(0, comma)) != 0) return ScopeLine::kMalformed;
    found.push_back(DomainName(std::string(list.substr(0, comma))).str());
    if (comma == list.size()) break;
    list.remove_prefix(comma + 1);
  }
  *name = std::string(line.substr(0, name_end));
  *domains = std::move(found);
  return ScopeLine::kEntry;
}

bool scope_lists(const std::string& domain) {
  if (!scope.scoped) return true;
  for (const std::string& mine : scope.domains) {
    if (mine == domain) return true;
  }
  return false;
}

void scope_init() {
  scope = ScopeState{};
  FILE* file = std::fopen(kScopeFile, "re");
  if (file == nullptr) {
    // No file: the site has no domain administrators. Any other failure
    // must not quietly widen what someone named in it may do.
    if (errno == ENOENT) return;
    request_error("Unable to read larkspur.scope", kStatusServerError);
  }
  char* buffer = nullptr;
  size_t capacity = 0;
  size_t number = 0;
  ssize_t length;
  while ((length = getline(&buffer, &capacity, file)) >= 0) {
    ++number;
    std::string_view line(buffer, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    take_line(line, number);
  }
  const bool failed = std::ferror(file) != 0;
  std::free(buffer);
  std::fclose(file);
  if (failed) request_error("Unable to read larkspur.scope", kStatusServerError);
  if (scope.scoped) set_page_var(kHiddenVar, " hidden");
}

#include "base/site.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::string_view kTesseraHome = "/usr/local/tessera";
constexpr std::string_view kQmailHome = "/var/qmail";

struct SiteState {
  std::string root;
  std::string tessera_home{kTesseraHome};
  std::string qmail_home{kQmailHome};
};

SiteState& site() {
  static SiteState state;
  return state;
}

}  // namespace

void site_set_root(std::string_view root) {
  SiteState& s = site();
  s.root.assign(root);
  while (!s.root.empty() && s.root.back() == '/') s.root.pop_back();
  s.tessera_home = s.root + std::string(kTesseraHome);
  s.qmail_home = s.root + std::string(kQmailHome);
}

bool site_take_sandbox_root(const char* program) {
  const char* root = std::getenv("LARKSPUR_ROOT");
  struct stat st;
  if (root == nullptr || root[0] != '/' || stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: LARKSPUR_ROOT must be an absolute path to an existing directory\n",
                 program);
    return false;
  }
  site_set_root(root);
  return true;
}

const std::string& site_root() { return site().root; }

std::string site_path(std::string_view absolute) {
  return site().root + std::string(absolute);
}

const std::string& tessera_home() { return site().tessera_home; }

const std::string& qmail_home() { return site().qmail_home; }

std::string qmail_control_dir() { return qmail_home() + "/control"; }

std::string qmail_control_file(std::string_view name) {
  return qmail_home() + "/control/" + std::string(name);
}

std::string qmail_assign_file() { return qmail_home() + "/users/" + kAssignName; }

std::string qmail_rcpthosts_file() { return qmail_control_file(kRcpthostsName); }

std::string qmail_morercpthosts_file() { return qmail_control_file(kMoreRcpthostsName); }

std::string qmail_virtualdomains_file() { return qmail_control_file(kVirtualDomainsName); }

std::string qmail_locals_file() { return qmail_control_file(kLocalsName); }

std::string qmail_users_cdb() { return qmail_home() + "/users/cdb"; }

std::string domain_table_lock_file() { return qmail_home() + "/users/domains.lock"; }

std::string qmail_tool(std::string_view name) {
  return qmail_home() + "/bin/" + std::string(name);
}

std::string qmail_queue_program() { return qmail_tool("qmail-queue"); }

std::string qmail_send_match() {
  if (site().root.empty()) return "qmail-send";
  return qmail_tool("qmail-send");
}

std::string default_limits_file() { return tessera_home() + "/etc/tlimits.default"; }

std::string default_domain_path() { return tessera_home() + "/etc/defaultdomain"; }

std::string audit_log_file() { return tessera_home() + "/etc/larkspur.log"; }

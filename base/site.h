// The system's fixed places: the store home, the qmail home and the files
// and tools under them. Every absolute path the program uses is spelt here
// and nowhere else.
//
// A sandbox root may be set once, before any path is asked for; every fixed
// path P then reads as ROOT + P. The production CGI never sets one, so it
// honours no override. The sandbox CGI sets it from LARKSPUR_ROOT, the
// command-line tool from --root, and tests from their own temporary tree.
#pragma once

#include <string>
#include <string_view>

// Sets the prefix applied to every fixed path. An empty root means none.
void site_set_root(std::string_view root);

// A sandbox build's root from LARKSPUR_ROOT, set as site_set_root sets
// it: true. The root must be an absolute path to an existing folder (any
// other could make the program write somewhere unintended); else false
// after "PROGRAM: LARKSPUR_ROOT must be an absolute path to an existing
// directory\n" on stderr, and no root is set.
bool site_take_sandbox_root(const char* program);

// The prefix in force ("" in production).
const std::string& site_root();

// ROOT + absolute, for any fixed absolute path.
std::string site_path(std::string_view absolute);

// The store home ("/usr/local/tessera" under the root).
const std::string& tessera_home();

// The qmail home ("/var/qmail" under the root).
const std::string& qmail_home();

// qmail's control directory, qmail_home() + "/control".
std::string qmail_control_dir();

// A qmail control file: qmail_home() + "/control/" + name.
std::string qmail_control_file(std::string_view name);

// qmail's domain tables by name: users/assign's own name and the control
// files the store keeps in step with it. Messages that name a table spell
// it in their own text.
inline constexpr char kAssignName[] = "assign";
inline constexpr char kRcpthostsName[] = "rcpthosts";
inline constexpr char kMoreRcpthostsName[] = "morercpthosts";
inline constexpr char kVirtualDomainsName[] = "virtualdomains";
inline constexpr char kLocalsName[] = "locals";

// users/assign and users/cdb under the qmail home.
std::string qmail_assign_file();
std::string qmail_users_cdb();

// The control tables, qmail_control_file() of each name above.
std::string qmail_rcpthosts_file();
std::string qmail_morercpthosts_file();
std::string qmail_virtualdomains_file();
std::string qmail_locals_file();

// The lock that serialises adding names to qmail's domain tables, so that
// two processes can never both find a name free and both enter it.
std::string domain_table_lock_file();

// One of qmail's tools: qmail_home() + "/bin/" + name.
std::string qmail_tool(std::string_view name);

// qmail's queue entry, qmail_tool("qmail-queue"): the delivery program
// hands forwarded mail to it, as qmail-local does.
std::string qmail_queue_program();

// The text that identifies qmail-send in the process listing: the bare name
// in production, the sandbox's own copy of the program path otherwise, so a
// sandbox never signals the host's mail system.
std::string qmail_send_match();

// The store-wide default limits file, etc/tlimits.default under the store.
std::string default_limits_file();

// The default-domain file, etc/defaultdomain under the store.
std::string default_domain_path();

// The audit log of changes made through the pages and tessera,
// etc/larkspur.log under the store.
std::string audit_log_file();

// The store's system user and group.
inline constexpr unsigned kStoreUid = 89;
inline constexpr unsigned kStoreGid = 89;

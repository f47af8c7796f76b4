#include "base/store_layout.h"

namespace {

std::string joined(std::string_view dir, std::string_view name) {
  std::string path(dir);
  path += '/';
  path += name;
  return path;
}

}  // namespace

std::string store_domains_dir(std::string_view home) { return joined(home, kDomainsDirName); }

std::string store_domains_path(std::string_view home, std::string_view tree) {
  return store_domains_dir(home) + "/" + std::string(tree);
}

std::string store_users_dir(std::string_view home) { return joined(home, kUsersDirName); }

std::string domains_level_name(uid_t uid) {
  return std::string(kDomainsLevelPrefix) + std::to_string(uid);
}

std::string store_file(std::string_view dir, std::string_view name) { return joined(dir, name); }

std::string domain_limits_file(std::string_view dir) { return joined(dir, kLimitsFileName); }

std::string passwd_file(std::string_view dir) { return joined(dir, kPasswdFileName); }

std::string passwd_index(std::string_view dir) { return joined(dir, kPasswdIndexName); }

std::string passwd_lock(std::string_view dir) { return joined(dir, kPasswdLockName); }

std::string passwd_index_temp(std::string_view dir) { return joined(dir, kIndexTempName); }

std::string passwd_backup(std::string_view dir, pid_t pid) {
  return joined(dir, kPasswdBackupName) + "." + std::to_string(pid);
}

std::string dir_control_file(std::string_view dir) { return joined(dir, kDirControlName); }

std::string dir_free_list(std::string_view dir) { return joined(dir, kFreeListName); }

std::string domains_dir_control_file(std::string_view home) {
  return dir_control_file(store_domains_dir(home));
}

std::string qmail_default_file(std::string_view dir) { return joined(dir, kQmailDefaultName); }

std::string domain_routing_lock(std::string_view dir) { return joined(dir, kRoutingLockName); }

std::string mailbox_lastauth(std::string_view mailbox) { return joined(mailbox, kLastauthName); }

std::string mailbox_maildir(std::string_view mailbox) {
  return joined(mailbox, kMaildirName) + "/";
}

std::string mailbox_dot_qmail(std::string_view mailbox) {
  return joined(mailbox, kMailboxDotQmailName);
}

std::string mailbox_vacation_dir(std::string_view mailbox) {
  return joined(mailbox, kVacationDirName);
}

std::string mailbox_vacation_file(std::string_view mailbox, std::string_view name) {
  return joined(mailbox_vacation_dir(mailbox), name);
}

std::string autorespond_program(std::string_view home) {
  return joined(joined(home, kStoreBinDirName), kAutorespondProgramName);
}

size_t maildir_suffix_at(std::string_view path) {
  const std::string inner = "/" + std::string(kMaildirName) + "/";
  size_t cut = path.rfind(inner);
  if (cut != std::string_view::npos && cut > 0) return cut;
  const std::string final_part = inner.substr(0, inner.size() - 1);
  if (path.ends_with(final_part)) return path.size() - final_part.size();
  return std::string_view::npos;
}

std::string maildir_size_file(std::string_view maildir) {
  return std::string(maildir) + std::string(kMaildirSizeName);
}

// Logins of mail users through the checkpassword interface.
#include "accounts/checkpassword.h"

#include <crypt.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "base/fd_guard.h"
#include "base/mailbox.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "domains/assign.h"
#include "quota/maildir_quota.h"

extern char** environ;

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitMisuse = 2;
constexpr int kExitNoUser = 3;
constexpr int kExitTemporary = 111;

// Hashed against when there is no stored hash: SHA-512 crypt with the
// default rounds, what the store makes for every new password.
constexpr char kDummySetting[] = "$6$tesseraDummySlt$";

// What the client's address is recorded as when the caller gives none.
constexpr char kUnknownClient[] = "unknown";

const char* env_or_null(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Descriptor 3 to its end, one byte past the limit at most: enough to tell
// an over-long input. False when it cannot be read.
bool read_login_input(std::string& bytes) {
  char buf[kLoginInputMax + 1];
  size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = read(3, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.assign(buf, got);
  return true;
}

// Dovecot gives its checkpassword programs ORIG_UID and AUTH_* variables,
// and the reply's descriptor 4; qmail's front ends give none of them.
bool called_by_dovecot() {
  if (getenv("ORIG_UID") != nullptr) return true;
  for (char** env = environ; env != nullptr && *env != nullptr; ++env) {
    if (strncmp(*env, "AUTH_", 5) == 0) return true;
  }
  return fcntl(4, F_GETFD) != -1;
}

// The effective ids of the store home's owner, for the store's work, and
// the way back to the caller's.
class StoreIdentity {
 public:
  // False when the store home cannot be examined or the ids not changed.
  bool become_store_owner() {
    struct stat home;
    if (stat(tessera_home().c_str(), &home) != 0) return false;
    if (geteuid() != 0 || home.st_uid == 0) return true;
    int count = getgroups(0, nullptr);
    if (count < 0) return false;
    groups_.resize(static_cast<size_t>(count));
    if (getgroups(count, groups_.data()) != count) return false;
    saved_gid_ = getegid();
    gid_t gid = home.st_gid;
    if (setgroups(1, &gid) != 0 || setegid(gid) != 0 || seteuid(home.st_uid) != 0) {
      lowered_ = true;
      return false;
    }
    lowered_ = true;
    return true;
  }
  // False when the caller's ids could not be had back.
  bool restore() {
    if (!lowered_) return true;
    lowered_ = false;
    return seteuid(0) == 0 && setegid(saved_gid_) == 0 &&
           setgroups(groups_.size(), groups_.data()) == 0;
  }

 private:
  bool lowered_ = false;
  gid_t saved_gid_ = 0;
  std::vector<gid_t> groups_;
};

// The client's address as the last-login record keeps it: one line.
std::string client_address() {
  const char* remote = env_or_null("TCPREMOTEIP");
  if (remote == nullptr) return kUnknownClient;
  std::string address(remote);
  size_t end = address.find_first_of("\r\n");
  if (end != std::string::npos) address.resize(end);
  return address.empty() ? kUnknownClient : address;
}

// Sets the environment the next program reads: who logged in, where the
// mailbox is, and for Dovecot's reply the userdb fields EXTRA names.
bool set_login_environment(const LoginAccount& account) {
  std::string extra = "userdb_uid userdb_gid userdb_mail";
  std::string rule = dovecot_quota_rule(account.record.quota);
  if (!rule.empty()) extra += " userdb_quota_rule";
  bool ok = setenv("USER", account.address.c_str(), 1) == 0 &&
            setenv("HOME", account.record.dir.c_str(), 1) == 0 &&
            setenv("SHELL", "/bin/false", 1) == 0 &&
            setenv("userdb_uid", std::to_string(account.uid).c_str(), 1) == 0 &&
            setenv("userdb_gid", std::to_string(account.gid).c_str(), 1) == 0 &&
            setenv("userdb_mail", "maildir:~/Maildir", 1) == 0 &&
            setenv("EXTRA", extra.c_str(), 1) == 0;
  if (rule.empty()) return ok && unsetenv("userdb_quota_rule") == 0;
  return ok && setenv("userdb_quota_rule", rule.c_str(), 1) == 0;
}

// qmail's convention: the next program runs as the mailbox's owner.
bool become_mailbox_owner(const LoginAccount& account) {
  if (getuid() == account.uid && geteuid() == account.uid && getgid() == account.gid) return true;
  return setgroups(1, &account.gid) == 0 && setgid(account.gid) == 0 && setuid(account.uid) == 0;
}

}  // namespace

std::optional<LoginInput> parse_login_input(std::string_view bytes) {
  if (bytes.size() > kLoginInputMax) return std::nullopt;
  size_t login_end = bytes.find('\0');
  if (login_end == std::string_view::npos) return std::nullopt;
  size_t password_end = bytes.find('\0', login_end + 1);
  if (password_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = bytes.substr(password_end + 1);
  LoginInput input;
  input.login.assign(bytes.substr(0, login_end));
  input.password.assign(bytes.substr(login_end + 1, password_end - login_end - 1));
  input.timestamp.assign(rest.substr(0, rest.find('\0')));
  return input;
}

std::string login_service(const char* service, const char* local_port, const char* first_arg) {
  if (service != nullptr && service[0] != '\0') return service;
  if (local_port != nullptr) {
    const std::string_view port(local_port);
    if (port == "110" || port == "995") return "pop3";
    if (port == "143" || port == "993") return "imap";
    if (port == "25" || port == "465" || port == "587") return "smtp";
  }
  constexpr std::string_view kOption = "--service=";
  if (first_arg != nullptr && std::string_view(first_arg).starts_with(kOption)) {
    return std::string(first_arg + kOption.size());
  }
  return "";
}

int32_t service_refusal(std::string_view service) {
  if (service == "pop3") return kDisablePop;
  if (service == "imap") return kDisableImap;
  if (service == "smtp" || service == "submission") return kDisableSmtp;
  if (service == "webmail") return kDisableWebmail;
  return 0;
}

std::string dovecot_quota_rule(const std::string& quota_text) {
  uint64_t size = 0, count = 0;
  parse_quota_spec(quota_text.c_str(), &size, &count);
  std::string rule;
  if (size != 0) rule += ":storage=" + std::to_string(size) + "B";
  if (count != 0) rule += ":messages=" + std::to_string(count);
  return rule.empty() ? rule : "*" + rule;
}

bool password_matches(const std::string& clear, const std::string& stored) {
  static struct crypt_data work;
  const bool have_hash = !stored.empty();
  const char* crypted = crypt_r(clear.c_str(), have_hash ? stored.c_str() : kDummySetting, &work);
  if (crypted == nullptr || !have_hash) return false;
  // Every byte is looked at whatever the first difference: the time taken
  // tells nothing about how much of the hash was right.
  const size_t length = strlen(crypted);
  unsigned char difference = length == stored.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    difference |= static_cast<unsigned char>(crypted[i] ^ stored[i < stored.size() ? i : 0]);
  }
  return difference == 0;
}

LoginLookup find_login_account(const std::string& login, LoginAccount& account) {
  ParsedAddress parsed = parse_address(login);
  const Mailbox& mailbox = parsed.mailbox;
  if (parsed.result != 0 || mailbox.user.empty() || mailbox.domain.empty()) {
    return LoginLookup::kLoginUnknown;
  }
  std::optional<DomainHome> home = find_domain_home(mailbox.domain);
  if (!home) {
    // An unknown domain, or a table that cannot be read at all.
    FdGuard table(open_regular(qmail_users_cdb(), true));
    return table.get() < 0 ? LoginLookup::kLoginStoreFailed : LoginLookup::kLoginUnknown;
  }
  // The store hides a domain's accounts from other users: that is a store
  // this process cannot read, not an account that is missing.
  if (geteuid() != 0 && geteuid() != home->uid) return LoginLookup::kLoginStoreFailed;
  std::optional<password_record> record = passwd_find(mailbox.user, home->domain);
  if (!record) {
    // The lookup rebuilds a missing index; still none (unreadable, or held
    // by a change past its budget) is a store failure.
    FdGuard index(open_regular(passwd_paths_of(home->domain).index, false));
    return index.get() < 0 ? LoginLookup::kLoginStoreFailed : LoginLookup::kLoginUnknown;
  }
  account.record = std::move(*record);
  account.user = mailbox.user;
  account.domain = home->domain;
  account.address = account.user + "@" + account.domain;
  account.uid = home->uid;
  account.gid = home->gid;
  return LoginLookup::kLoginFound;
}

int checkpassword_main(int argc, char** argv, const char* program) {
  const char* first = argc > 1 ? argv[1] : nullptr;
  const std::string service = login_service(getenv("SERVICE"), getenv("TCPLOCALPORT"), first);
  int next = 1;
  if (first != nullptr && std::string_view(first).starts_with("--service=")) ++next;
  if (next >= argc) {
    fprintf(stderr, "usage: %s [--service=NAME] PROGRAM [ARG...]\n", program);
    return kExitMisuse;
  }
  std::string bytes;
  if (!read_login_input(bytes)) return kExitMisuse;
  close(3);
  std::optional<LoginInput> input = parse_login_input(bytes);
  if (!input) return kExitMisuse;
  const char* authorized = getenv("AUTHORIZED");
  const bool lookup_only = authorized != nullptr && strcmp(authorized, "1") == 0;
  const bool dovecot = called_by_dovecot();

  // The last-login record is the account's: made with no one else's access.
  umask(077);
  StoreIdentity identity;
  if (!identity.become_store_owner()) {
    fprintf(stderr, "%s: cannot act as the store's owner\n", program);
    identity.restore();
    return kExitTemporary;
  }
  LoginAccount account;
  LoginLookup found = find_login_account(input->login, account);
  if (found == LoginLookup::kLoginStoreFailed) {
    fprintf(stderr, "%s: the store cannot be read\n", program);
    identity.restore();
    return kExitTemporary;
  }
  if (lookup_only) {
    if (found != LoginLookup::kLoginFound) {
      identity.restore();
      return kExitNoUser;
    }
  } else {
    const bool known = found == LoginLookup::kLoginFound;
    if (!password_matches(input->password, known ? account.record.password : "") || !known) {
      identity.restore();
      return kExitRefused;
    }
    const int32_t refusal = service_refusal(service);
    if (refusal != 0 && (account.record.flags & refusal) != 0) {
      fprintf(stderr, "%s: %s is disabled for %s\n", program, service.c_str(),
              account.address.c_str());
      identity.restore();
      return kExitRefused;
    }
    // The login stands even when its record cannot be written.
    if (lastauth_record_write(account.record, account.uid, account.gid, client_address()) != 0) {
      fprintf(stderr, "%s: cannot record the login of %s\n", program, account.address.c_str());
    }
  }
  if (!identity.restore()) {
    fprintf(stderr, "%s: cannot take back the caller's ids\n", program);
    return kExitTemporary;
  }

  if (lookup_only && setenv("AUTHORIZED", "2", 1) != 0) return kExitTemporary;
  if (!set_login_environment(account) || chdir(account.record.dir.c_str()) != 0) {
    fprintf(stderr, "%s: cannot enter the mailbox of %s\n", program, account.address.c_str());
    return kExitTemporary;
  }
  if (!dovecot && !become_mailbox_owner(account)) {
    fprintf(stderr, "%s: cannot become the owner of %s\n", program, account.address.c_str());
    return kExitTemporary;
  }
  execvp(argv[next], argv + next);
  fprintf(stderr, "%s: cannot run %s: %s\n", program, argv[next], strerror(errno));
  return kExitTemporary;
}

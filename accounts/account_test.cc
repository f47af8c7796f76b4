#include "accounts/account.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>

#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "base/error.h"
#include "base/site.h"
#include "base/text.h"
#include "domains/assign.h"
#include "domains/domain.h"
#include "domains/limits.h"
#include "quota/maildir_quota.h"
#include "tests/testlib/testlib.h"

namespace {

class AccountTest : public testing::Test {
 protected:
  void SetUp() override {
    site_set_root(box_.root());
    // A store is installed with its default limits; without them no
    // mailbox can be created.
    write_file(default_limits_file(), "");
    std::string name = "example.com";
    ASSERT_EQ(create_domain(DomainName(name), tessera_home(), kStoreUid, kStoreGid), 0);
    std::string lookup = name;
    ASSERT_NE(tget_assign(DomainName(lookup), &dir_, 300, nullptr, nullptr), nullptr);
  }
  void TearDown() override { site_set_root(""); }

  int add(std::string user, const std::string& password = "secret",
          const std::string& gecos = "A User", std::string domain = "example.com") {
    return add_account(Mailbox(user, DomainName(domain)), password, gecos);
  }
  std::optional<password_record> get(const std::string& user,
                                      const std::string& domain = "example.com") {
    return passwd_find(user, DomainName(domain));
  }
  void write_qmail_default(const std::string& line) {
    write_file(dir_ + "/.qmail-default", line + "\n");
  }

  Sandbox box_;
  std::string dir_;
};

std::string cwd() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

TEST_F(AccountTest, CreationChecksNamesInOrder) {
  ASSERT_EQ(add("taken"), 0);
  struct Case {
    std::string user, domain, password, gecos;
    int code;
  } cases[] = {
      {std::string(33, 'u'), "example.com", "p", "a:b", kErrBadChar},
      {std::string(33, 'u'), "example.com", "p", "x", kErrUserTooLong},
      {"u", "example.com", "p", "x", kErrIllegalUsername},
      {"", "example.com", "p", "x", kErrIllegalUsername},
      {"joe", std::string(97, 'd'), "p", "x", kErrDomainTooLong},
      {"joe", "ab", "p", "x", kErrInvalidDomain},
      {"joe", "example.com", std::string(129, 'p'), "x", kErrPasswordTooLong},
      {"joe", "example.com", "p", std::string(49, 'g'), kErrGecosTooLong},
      {"jo e", "example.com", "p", "x", kErrIllegalUsername},
      {"joe", "exa_mple.com", "p", "x", kErrInvalidDomain},
      {"joe", "example.net", "p", "x", kErrNoDomain},
      {"TAKEN", "EXAMPLE.COM", "p", "x", kErrUsernameExists},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(add(c.user, c.password, c.gecos, c.domain), c.code) << c.user << "@" << c.domain;
  }
  EXPECT_FALSE(file_exists(dir_ + "/joe"));
}

TEST_F(AccountTest, NewAccountHasLineMaildirQuotaAndLastLogin) {
  domain_limits limits;
  limits.default_quota = 1048576;
  ASSERT_EQ(write_domain_limits(DomainName("example.com"), limits), 0);
  ASSERT_EQ(add("Joe", "pw", "Joe User"), 0);
  std::optional<password_record> record = get("joe");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->password.substr(0, 3), "$6$");
  EXPECT_EQ(record->uid, 1);
  EXPECT_EQ(record->gid, 0);
  EXPECT_EQ(record->gecos, "Joe User");
  EXPECT_EQ(record->dir, dir_ + "/joe");
  EXPECT_EQ(record->quota, "1048576S");
  for (const char* part : {"/Maildir/new", "/Maildir/cur", "/Maildir/tmp"}) {
    struct stat status {};
    ASSERT_EQ(stat((record->dir + part).c_str(), &status), 0) << part;
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(status.st_uid, kStoreUid);
  }
  EXPECT_EQ(read_file(record->dir + "/lastauth"), "0.0.0.0");
  EXPECT_NEAR(lastauth_time(*record), time(nullptr), 5);
  EXPECT_EQ(lastauth_text(*record), "0.0.0.0");
}

TEST_F(AccountTest, DefaultQuotaTooLongForTheLineKeepsNoQuota) {
  domain_limits limits;
  limits.default_quota = 99999999999999ULL;
  limits.default_maxmsgcount = 99999999;
  ASSERT_EQ(write_domain_limits(DomainName("example.com"), limits), 0);
  ASSERT_EQ(add("big"), 0);
  EXPECT_EQ(get("big")->quota, "NOQUOTA");
  EXPECT_FALSE(file_exists(dir_ + "/big/Maildir/maildirsize"));
}

TEST_F(AccountTest, OverlongMailboxPathMakesNoDirectory) {
  // A domain directory of 140 characters leaves room for a user of 19.
  std::string prefix = tessera_home() + "/domains/";
  ASSERT_LT(prefix.size() + 3, 140u);
  std::string domain = std::string(140 - prefix.size() - 4, 'd') + ".com";
  std::string name = domain;
  ASSERT_EQ(create_domain(DomainName(name), tessera_home(), kStoreUid, kStoreGid), 0);
  std::string user(20, 'x');
  EXPECT_EQ(add(user, "pw", "x", domain), kErrChdirUsers);
  EXPECT_FALSE(file_exists(prefix + domain + "/" + user));
  user.pop_back();
  EXPECT_EQ(add(user, "pw", "x", domain), 0);
  EXPECT_EQ(get(user, domain)->dir.size(), 160u);
}

TEST_F(AccountTest, PasswordChangeHonoursAccountAndDomainFlags) {
  ASSERT_EQ(add("joe", "old"), 0);
  std::string old_hash = get("joe")->password;
  std::string user = "JOE", domain = "example.com";
  ASSERT_EQ(change_password(Mailbox(user, DomainName(domain)), "new"), 0);
  EXPECT_NE(get("joe")->password, old_hash);

  domain_limits limits;
  limits.disable_password_changing = 1;
  ASSERT_EQ(write_domain_limits(DomainName("example.com"), limits), 0);
  std::string hash = get("joe")->password;
  EXPECT_EQ(get("joe")->gid & kDisablePasswordChanging, 0);
  EXPECT_EQ(change_password(Mailbox(user, DomainName(domain)), "newer"), kErrIllegalUsername);
  EXPECT_EQ(get("joe")->password, hash);
  std::string nobody = "nobody";
  EXPECT_EQ(change_password(Mailbox(nobody, DomainName(domain)), "x"), kErrIllegalUsername);
}

TEST_F(AccountTest, CatchallMailboxCannotBeDeleted) {
  ASSERT_EQ(add("postmaster"), 0);
  std::string box = get("postmaster")->dir;
  struct Case {
    std::string line;
    bool protects_postmaster;
  } cases[] = {
      {"| /bin/tdelivermail '' bounce-no-mailbox", false},
      {"| /bin/tdelivermail '' delete-no-mailbox", false},
      {"| /bin/tdelivermail '' " + box, true},
      {"| /bin/tdelivermail ''  \t" + box + "/ ", true},
      {"| /bin/tdelivermail '' /elsewhere/postmaster", false},
      {"| /bin/tdelivermail '' postmaster@example.com", true},
      {"| /bin/tdelivermail '' postmaster@example.net", false},
      {"| /bin/tdelivermail '' @example.com", false},
      {"| /bin/otherdelivery '' postmaster@example.com", false},
      {"| /bin/tdelivermail postmaster@example.com", false},
  };
  for (const Case& c : cases) {
    write_qmail_default(c.line);
    const DomainName domain("example.com");
    EXPECT_EQ(is_catchall("postmaster", domain, dir_), c.protects_postmaster) << c.line;
    EXPECT_FALSE(is_catchall("other", domain, dir_)) << c.line;
  }
  write_qmail_default("| /bin/tdelivermail '' " + box + "/");
  std::string user = "postmaster", domain = "example.com";
  EXPECT_EQ(delete_account(Mailbox(user, DomainName(domain))), kErrCatchall);
  EXPECT_TRUE(get("postmaster"));
}

TEST_F(AccountTest, DeletionRemovesLineAndDirectoryAndKeepsCwd) {
  ASSERT_EQ(add("joe"), 0);
  std::string dir = get("joe")->dir;
  std::string before = cwd();
  std::string user = "nobody", domain = "example.com";
  EXPECT_EQ(delete_account(Mailbox(user, DomainName(domain))), kErrNoUser);
  EXPECT_EQ(cwd(), before);
  user = "Joe";
  EXPECT_EQ(delete_account(Mailbox(user, DomainName(domain))), 0);
  EXPECT_EQ(cwd(), before);
  EXPECT_FALSE(get("joe"));
  EXPECT_FALSE(file_exists(dir));
  EXPECT_EQ(read_file(dir_ + "/tpasswd").find("joe:"), std::string::npos);
  domain = "example.net";
  EXPECT_EQ(delete_account(Mailbox(user, DomainName(domain))), kErrNoDomain);
}

TEST_F(AccountTest, LastLoginRecordEdges) {
  std::string user = "ghost", domain = "example.com";
  EXPECT_EQ(lastauth_write(user, DomainName(domain), "1.2.3.4"), 0);
  EXPECT_FALSE(file_exists(dir_ + "/ghost"));
  ASSERT_EQ(add("joe"), 0);
  password_record record = *get("joe");
  write_file(record.dir + "/lastauth", "");
  EXPECT_FALSE(lastauth_text(record));
  EXPECT_NE(lastauth_time(record), 0);
  unlink((record.dir + "/lastauth").c_str());
  EXPECT_EQ(lastauth_time(record), 0);
  EXPECT_FALSE(lastauth_text(record));
}

// A path past its field is refused, never cut: cut, it names another file,
// here one planted at the cut name. A line edited by hand names a mailbox
// directory whose DIR/lastauth passes 299 characters by one (and
// DIR/Maildir/maildirsize by more); a domain directory's .qmail-default
// passes the 159 characters of a dot-qmail path.
TEST_F(AccountTest, PathsPastTheirFieldAreRefusedNotCut) {
  std::string long_dir = dir_ + "/" + std::string(100, 'a') + "/";
  long_dir += std::string(kStorePathMax - 8 - long_dir.size(), 'b');  // "/lastauth": 300
  std::filesystem::create_directories(long_dir + "/Maildir/tmp");
  write_file(dir_ + "/tpasswd", "long:x:1:0:Long:" + long_dir + ":1000S\n");
  unlink((dir_ + "/tpasswd.cdb").c_str());
  const std::string cut = (long_dir + "/lastauth").substr(0, kStorePathMax);
  write_file(cut, "192.0.2.9");
  ASSERT_TRUE(get("long"));

  const size_t fixed = (tessera_home() + "/domains/.com/.qmail-default").size();
  std::string long_domain = std::string(160 - fixed, 'd') + ".com";
  const DomainName made(long_domain);
  ASSERT_EQ(create_domain(made, tessera_home(), kStoreUid, kStoreGid), 0);
  write_file((tessera_home() + "/domains/" + long_domain + "/.qmail-default").substr(0, 159),
             "| tdelivermail '' joe@" + long_domain + "\n");

  std::string user = "long", domain = "example.com", extension = "default";
  const struct {
    const char* call;
    std::function<bool()> failed;
  } calls[] = {
      {"lastauth_write", [&] { return lastauth_write(user, DomainName(domain), "1.2.3.4") == -1; }},
      {"lastauth_time", [&] { return lastauth_time(*get("long")) == 0; }},
      {"lastauth_text", [&] { return !lastauth_text(*get("long")); }},
      {"update_maildirsize", [&] {
         update_maildirsize(DomainName(domain), long_dir, "1000S");
         return !file_exists(long_dir + "/Maildir/maildirsize");
       }},
      {"dotqmail_first_line", [&] { return !dotqmail_first_line(&extension, &made); }},
  };
  for (const auto& c : calls) {
    EXPECT_TRUE(c.failed()) << c.call;
    EXPECT_EQ(read_file(cut), "192.0.2.9") << c.call;
    EXPECT_EQ(names_in(long_dir), (std::set<std::string>{"Maildir", "lastaut"})) << c.call;
    EXPECT_EQ(names_in(long_dir + "/Maildir"), std::set<std::string>{"tmp"}) << c.call;
  }
}

}  // namespace

namespace {

// A batch makes each mailbox as one creation would, and reports each
// refusal on its own account.
TEST_F(AccountTest, BatchMakesEachMailboxAsOneCreationWould) {
  ASSERT_EQ(add("taken"), 0);
  struct Case {
    std::string user, gecos, quota;
    int result, quota_result;
    std::string stored_quota;  // "" when no line is made
  } cases[] = {
      {"zed", "Zed", "", 0, 0, "NOQUOTA"},
      {"Ann", "", "", 0, 0, "NOQUOTA"},
      {"taken", "x", "", kErrUsernameExists, 0, ""},
      {"bob", "B:ob", "", kErrBadChar, 0, ""},
      {"ann", "x", "", kErrUsernameExists, 0, ""},
      {"cat", "Cat", "10MB", 0, 0, "10485760S"},
      {"dan", "Dan", "99999999999999999999", 0, kErrQuotaTooLong, "NOQUOTA"},
  };
  std::vector<NewAccount> accounts;
  for (const Case& c : cases) {
    NewAccount a;
    a.user = c.user;
    a.password = "pw";
    a.gecos = c.gecos;
    a.quota = c.quota;
    accounts.push_back(a);
  }
  DomainName domain("EXAMPLE.COM");
  EXPECT_EQ(add_accounts(domain, accounts), 4);
  EXPECT_EQ(domain, "example.com");
  for (size_t i = 0; i < accounts.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(accounts[i].result, c.result) << c.user;
    EXPECT_EQ(accounts[i].quota_result, c.quota_result) << c.user;
    if (c.stored_quota.empty()) continue;
    std::optional<password_record> r = get(accounts[i].user);
    ASSERT_TRUE(r) << c.user;
    EXPECT_EQ(r->quota, c.stored_quota) << c.user;
    EXPECT_EQ(read_file(r->dir + "/lastauth"), kLastauthNever) << c.user;
    EXPECT_TRUE(file_exists(r->dir + "/Maildir/tmp")) << c.user;
    EXPECT_EQ(file_exists(r->dir + "/Maildir/maildirsize"), c.quota == "10MB") << c.user;
  }
  EXPECT_EQ(get("ann")->gecos, "ann");
  EXPECT_FALSE(file_exists(dir_ + "/bob"));
}

// The dry run's check and creation refuse alike, and the check makes
// nothing.
TEST_F(AccountTest, CheckRefusesWhatCreationRefuses) {
  ASSERT_EQ(add("taken"), 0);
  const char* users[] = {"taken", "..", "jo e", "x", "fresh"};
  for (const char* user : users) {
    std::string u = user, d = "Example.com";
    NewAccountPlace place;
    int checked = check_new_account(Mailbox(u, DomainName(d)), "pw", "Full Name", &place);
    EXPECT_EQ(file_exists(dir_ + "/" + u), std::string(user) == "taken" || u == "..") << user;
    EXPECT_EQ(checked, add(user, "pw", "Full Name")) << user;
    if (checked == 0) {
      EXPECT_EQ(place.home.dir, dir_);
    }
  }
}

}  // namespace

// The store tried as an attacker would: a process of the domain's user
// (uid 89) plants links and names in the directories it owns while the
// store runs as root. Nothing of root's may be written, re-owned, read out
// or removed through them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "accounts/account.h"
#include "accounts/lastauth.h"
#include "accounts/passwd.h"
#include "quota/maildir_quota.h"
#include "base/error.h"
#include "base/site.h"
#include "domains/assign.h"
#include "domains/dir_control.h"
#include "domains/domain.h"
#include "tests/testlib/testlib.h"

namespace fs = std::filesystem;

namespace {

// A root-only file outside every domain, as the attacker's target.
constexpr const char* kSecret = "0\n0\n3\n0 0 0\n61 61 61\n0 2 4\n0 0 0\nroot only line\n";

class PlantedLinks : public testing::Test {
 protected:
  void SetUp() override {
    site_set_root(box_.root());
    write_file(default_limits_file(), "");
    std::string name = "example.com";
    ASSERT_EQ(create_domain(DomainName(name), tessera_home(), kStoreUid, kStoreGid), 0);
    std::string lookup = name;
    ASSERT_NE(tget_assign(DomainName(lookup), &dir_, 300, nullptr, nullptr), nullptr);
    ASSERT_EQ(add("joe"), 0);
    secret_ = box_.root() + "/secret";
    write_file(secret_, kSecret);
    ASSERT_EQ(chmod(secret_.c_str(), 0600), 0);
    ASSERT_EQ(chown(secret_.c_str(), 0, 0), 0);
  }
  void TearDown() override { site_set_root(""); }

  int add(std::string user, std::string domain = "example.com") {
    return add_account(Mailbox(user, DomainName(domain)), "pw", "A User");
  }
  password_record record(const std::string& user) {
    std::optional<password_record> found = passwd_find(user, DomainName("example.com"));
    EXPECT_NE(found, std::nullopt) << user;
    return found.value_or(password_record{});
  }
  // A link of the domain's user at path, to target.
  static void plant(const std::string& path, const std::string& target) {
    unlink(path.c_str());
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    ASSERT_EQ(lchown(path.c_str(), kStoreUid, kStoreGid), 0);
  }
  void expect_secret_untouched(const std::string& where) {
    struct stat st {};
    ASSERT_EQ(stat(secret_.c_str(), &st), 0) << where;
    EXPECT_EQ(st.st_uid, 0u) << where;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << where;
    EXPECT_EQ(read_file(secret_), kSecret) << where;
  }
  // No plain file in the domain's tree holds the secret's words.
  void expect_secret_not_copied(const std::string& where) {
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (!entry.is_symlink() && entry.is_regular_file()) {
        EXPECT_EQ(read_file(entry.path()).find("root only line"), std::string::npos)
            << where << ": " << entry.path();
      }
    }
  }

  Sandbox box_;
  std::string dir_;
  std::string secret_;
};

// A link planted at a new mailbox's lastauth before the record is written
// is replaced by the record; the file it named keeps its owner and bytes.
TEST_F(PlantedLinks, LastauthLinkIsReplacedNeverWrittenThrough) {
  const std::string lastauth = record("joe").dir + "/lastauth";
  plant(lastauth, secret_);
  std::string user = "joe", domain = "example.com";
  EXPECT_EQ(lastauth_write(user, DomainName(domain), "0.0.0.0"), 0);
  expect_secret_untouched("lastauth");
  struct stat st {};
  ASSERT_EQ(lstat(lastauth.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, kStoreUid);
  EXPECT_EQ(read_file(lastauth), "0.0.0.0");
}

// The account view reads lastauth: a link or a directory there is no
// record, so no first line of another file is ever shown.
TEST_F(PlantedLinks, LastauthThatIsNoPlainFileReadsAsNone) {
  const password_record joe = record("joe");
  const std::string lastauth = joe.dir + "/lastauth";
  const std::function<void()> plants[] = {
      [&] { plant(lastauth, secret_); },
      [&] {
        unlink(lastauth.c_str());
        ASSERT_EQ(mkdir(lastauth.c_str(), 0700), 0);
      },
  };
  for (const auto& make : plants) {
    make();
    EXPECT_EQ(lastauth_text(joe), std::nullopt);
    EXPECT_EQ(lastauth_time(joe), 0);
    rmdir(lastauth.c_str());
  }
  write_file(lastauth, "10.0.0.1");
  EXPECT_EQ(lastauth_text(joe), "10.0.0.1");
}

// The domain's .dir-control is read and written back: a link there must
// neither be read through (its eighth line would land in the new file,
// readable by the domain's user) nor handed to the domain's user.
TEST_F(PlantedLinks, DirControlLinkIsNeitherReadNorReowned) {
  plant(dir_ + "/.dir-control", secret_);
  ASSERT_EQ(add("ann"), 0);
  expect_secret_untouched(".dir-control");
  expect_secret_not_copied(".dir-control");
  struct stat st {};
  ASSERT_EQ(lstat((dir_ + "/.dir-control").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, kStoreUid);
}

// The control file is given its owner before it is renamed into place: a
// link swapped in at its name at any moment never receives that owner.
TEST_F(PlantedLinks, DirControlSwappedForALinkDuringWritesKeepsRootsFile) {
  const std::string location = dir_control_path("example.com", kStoreUid);
  const std::string staged = dir_ + "/staged-link";
  std::atomic<bool> done{false};
  std::thread attacker([&] {
    while (!done) {
      symlink(secret_.c_str(), staged.c_str());
      rename(staged.c_str(), location.c_str());
    }
  });
  DirControl control;
  for (int i = 0; i < 300; ++i) write_dir_control(control, "example.com", kStoreUid, kStoreGid);
  done = true;
  attacker.join();
  expect_secret_untouched("swapped .dir-control");
}

// The free-directory list is rewritten with its old owner and mode: a link
// at its name is refused by both the taker and the returner.
TEST_F(PlantedLinks, FreeListLinkIsNeitherCopiedNorReowned) {
  const std::string list = dir_ + "/.dir_control_free";
  write_file(secret_, std::string("3\n") + kSecret);
  plant(list, secret_);
  const DomainName domain("example.com");
  EXPECT_EQ(free_dir_take(domain), std::nullopt);
  EXPECT_EQ(free_dir_return("joe", domain, dir_ + "/3/joe"), std::nullopt);
  EXPECT_EQ(read_file(secret_), std::string("3\n") + kSecret);
  expect_secret_not_copied("free list");
  struct stat st {};
  ASSERT_EQ(stat(secret_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A link at a lock file's name is a failure to lock: the change fails and
// nothing is created where the link points.
TEST_F(PlantedLinks, LockFileLinkFailsTheChangeAndCreatesNothing) {
  const std::string target = box_.root() + "/made-by-lock";
  const struct {
    std::string lock;
    std::function<int()> change;
  } cases[] = {
      {dir_ + "/.tpasswd.lock",
       [] {
         std::string user = "joe", domain = "example.com";
         return change_password(Mailbox(user, DomainName(domain)), "new");
       }},
      {dir_ + "/.dir-control.lock", [&] { return add("bob"); }},
      {qmail_control_file("rcpthosts") + ".lock",
       [] {
         std::string name = "example.org";
         return create_domain(DomainName(name), tessera_home(), kStoreUid, kStoreGid);
       }},
  };
  for (const auto& c : cases) {
    plant(c.lock, target);
    EXPECT_NE(c.change(), 0) << c.lock;
    EXPECT_FALSE(fs::exists(fs::symlink_status(target))) << c.lock;
    unlink(c.lock.c_str());
  }
}

// A link planted at the name of a temporary copy (our own pid's) is removed
// and the copy made anew: the file it named is never written.
TEST_F(PlantedLinks, TemporaryFileLinkIsNeverWrittenThrough) {
  const std::string pid = "." + std::to_string(getpid());
  const struct {
    std::string temp;
    std::function<int()> change;
  } cases[] = {
      {dir_ + "/tpasswd.bak" + pid,
       [] {
         std::string user = "joe", domain = "example.com";
         return change_password(Mailbox(user, DomainName(domain)), "new");
       }},
      {dir_ + "/.dir-control" + pid, [&] { return add("carl"); }},
  };
  for (const auto& c : cases) {
    plant(c.temp, secret_);
    EXPECT_EQ(c.change(), 0) << c.temp;
    expect_secret_untouched(c.temp);
  }
}

// The maildir recount runs as root (`user show`, `domain usage`) inside a
// maildir its owner writes: a link there is neither counted nor entered,
// and the rebuilt file is never made through one, so no size of a file
// the owner may not read reaches maildirsize and nothing lands in root's
// directories.
TEST_F(PlantedLinks, MaildirRecountNeitherCountsNorWritesThroughLinks) {
  const std::string home = record("joe").dir;
  const std::string maildir = home + "/Maildir/";
  const std::string outside = box_.root() + "/outside";
  for (const char* sub : {"/new", "/cur"}) fs::create_directories(outside + sub);
  fs::copy_file(secret_, outside + "/cur/1.msg:2,S");
  const std::set<std::string> outside_names = {"cur", "new"};
  const struct {
    std::string link, target, sizefile;  // sizefile "": none rebuilt
  } cases[] = {
      {maildir + "cur/2.msg:2,S", secret_, "1000000S\n0 0\n"},
      {maildir + ".Evil", outside, "1000000S\n0 0\n"},
      {maildir + "cur", outside + "/cur", "1000000S\n0 0\n"},
      {maildir + "tmp", outside, ""},
  };
  for (const auto& c : cases) {
    fs::remove_all(c.link);
    plant(c.link, c.target);
    update_maildirsize(DomainName("example.com"), home, "1000000S");
    EXPECT_EQ(read_file(maildir + "maildirsize"), c.sizefile) << c.link;
    EXPECT_EQ(names_in(outside), outside_names) << c.link;
    EXPECT_EQ(names_in(outside + "/cur"), std::set<std::string>{"1.msg:2,S"}) << c.link;
    expect_secret_untouched(c.link);
    unlink(c.link.c_str());
    if (!c.link.ends_with(",S")) fs::create_directories(c.link);
  }
}

// A line edited to name a directory outside the domain loses the account
// but not the directory.
TEST_F(PlantedLinks, DeletionKeepsADirectoryOutsideTheDomain) {
  const std::string outside[] = {box_.root() + "/victim", dir_ + "/../victim2", dir_};
  int n = 0;
  for (const std::string& dir : outside) {
    std::string user = "vic" + std::to_string(n++);
    ASSERT_EQ(add(user), 0);
    fs::create_directories(dir);
    write_file(dir + "/precious", "keep\n");
    password_record line = record(user);
    line.dir = dir;
    const DomainName domain("example.com");
    ASSERT_EQ(passwd_update(line, domain), 0);
    std::string u = user;
    EXPECT_EQ(delete_account(Mailbox(u, domain)), 0) << dir;
    EXPECT_EQ(read_file(dir + "/precious"), "keep\n") << dir;
    EXPECT_EQ(passwd_find(user, domain), std::nullopt) << dir;
  }
  // A mailbox inside its domain still goes.
  const std::string joe_dir = record("joe").dir;
  std::string joe = "joe", domain = "example.com";
  EXPECT_EQ(delete_account(Mailbox(joe, DomainName(domain))), 0);
  EXPECT_FALSE(file_exists(joe_dir));
}

// A user name that is no plain path component is an invalid user name,
// refused before any directory or line is made.
TEST_F(PlantedLinks, UserNameThatLeavesTheDomainIsRefused) {
  const std::string before = read_file(dir_ + "/tpasswd");
  for (const char* name : {"../../../../../../../pwned", "../pwned", "a/b", "..", "x/"}) {
    EXPECT_EQ(add(name), kErrIllegalUsername) << name;
  }
  EXPECT_EQ(read_file(dir_ + "/tpasswd"), before);
  for (const auto& entry : fs::recursive_directory_iterator(box_.root())) {
    EXPECT_NE(entry.path().filename(), "pwned") << entry.path();
    EXPECT_NE(entry.path().filename(), "b") << entry.path();
  }
}

}  // namespace

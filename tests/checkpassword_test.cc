// The login program through its interface: build/tessera-checkpassword-
// sandbox run as a child over a sandbox store that tessera made, the login
// written on descriptor 3, and what it runs next printing the environment
// and the ids it was given.
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "tests/tessera_cli.h"

namespace {

// What the next program saw: USER|HOME under the root|SHELL|uid:gid|
// EXTRA|userdb_uid|userdb_quota_rule|AUTHORIZED.
constexpr const char* kReport =
    "echo \"$USER|${HOME#$LARKSPUR_ROOT}|$SHELL|$(id -u):$(id -g)|$EXTRA|$userdb_uid|"
    "$userdb_quota_rule|$AUTHORIZED\"";
constexpr const char* kExtra = "userdb_uid userdb_gid userdb_mail";

std::string input(const std::string& login, const std::string& password) {
  return login + '\0' + password + '\0' + "1700000000" + '\0';
}

class CheckpasswordTest : public TesseraSandboxTest {
 protected:
  void SetUp() override {
    domain_dir = add_domain("example.com");
    for (const char* user : {"joe", "pat", "ann", "nopw"}) {
      ok({"user", "add", std::string(user) + "@example.com", "secret"});
    }
    ok({"user", "quota", "ann@example.com", "1000k,4C"});
    ok({"domain", "alias", "alias.com", "example.com"});
    ok({"domain", "add", "limited.com"});
    ok({"user", "add", "amy@limited.com", "secret"});
    ASSERT_EQ(tessera({"limits", "set", "limited.com", "-"}, "disable_imap\ndisable_smtp\n").status,
              0);
    // pat's own flags switch POP and webmail off; nopw has no stored hash.
    set_field("pat", 3, "6");
    set_field("nopw", 1, "");
  }

  // Field `index` of the user's line in example.com's tpasswd; the index
  // is rebuilt by the next lookup.
  void set_field(const std::string& user, size_t index, const std::string& value) {
    std::string text;
    for (const std::string& line : lines_of(read_file(domain_dir + "/tpasswd"))) {
      std::vector<std::string> fields = fields_of(line);
      if (fields.at(0) == user) fields.at(index) = value;
      std::string joined = fields[0];
      for (size_t i = 1; i < fields.size(); ++i) joined += ":" + fields[i];
      text += joined + "\n";
    }
    write_file(domain_dir + "/tpasswd", text);
    unlink((domain_dir + "/tpasswd.cdb").c_str());
  }

  // The program with `bytes` on descriptor 3 and descriptor 4 closed (as
  // qmail's front ends leave it), then the report.
  RunResult login(const std::string& bytes, std::vector<std::string> env,
                  const std::vector<std::string>& args = {}) {
    RunOptions options;
    options.argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 3<&0 4>&-",
                    build_output("tessera-checkpassword-sandbox")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.argv.insert(options.argv.end(), {"/bin/sh", "-c", kReport});
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("LARKSPUR_ROOT=" + box.root());
    options.env = env;
    options.input = bytes;
    return run_program(options);
  }

  std::string domain_dir;
};

TEST_F(CheckpasswordTest, InterfaceAnswersEachLoginAsTheAccountAndItsFlagsSay) {
  const std::string joe = "joe@example.com|/usr/local/tessera/domains/example.com/joe|/bin/false|";
  const std::string qmail_joe = joe + "89:89|" + kExtra + "|89||\n";
  const struct {
    std::string what, bytes;
    std::vector<std::string> env, args;
    int status;
    std::string out, err;
  } cases[] = {
      {"imap", input("joe@example.com", "secret"), {"SERVICE=imap"}, {}, 0, qmail_joe, ""},
      {"pop3 by port", input("joe@example.com", "secret"), {"TCPLOCALPORT=995"}, {}, 0, qmail_joe,
       ""},
      {"pop3 by argument", input("joe@example.com", "secret"), {}, {"--service=pop3"}, 0,
       qmail_joe, ""},
      {"smtp by port", input("joe@example.com", "secret"), {"TCPLOCALPORT=587"}, {}, 0, qmail_joe,
       ""},
      {"SERVICE before port", input("pat@example.com", "secret"),
       {"SERVICE=imap", "TCPLOCALPORT=110"}, {}, 0,
       "pat@example.com|/usr/local/tessera/domains/example.com/pat|/bin/false|89:89|" +
           std::string(kExtra) + "|89||\n",
       ""},
      {"own disable_pop", input("pat@example.com", "secret"), {"TCPLOCALPORT=110"}, {}, 1, "",
       "tessera-checkpassword-sandbox: pop3 is disabled for pat@example.com\n"},
      {"own disable_webmail", input("pat@example.com", "secret"), {"SERVICE=webmail"}, {}, 1, "",
       "tessera-checkpassword-sandbox: webmail is disabled for pat@example.com\n"},
      {"domain's disable_imap", input("amy@limited.com", "secret"), {"SERVICE=imap"}, {}, 1, "",
       "tessera-checkpassword-sandbox: imap is disabled for amy@limited.com\n"},
      {"domain's disable_smtp", input("amy@limited.com", "secret"), {}, {"--service=submission"},
       1, "", "tessera-checkpassword-sandbox: submission is disabled for amy@limited.com\n"},
      {"domain leaves pop3", input("amy@limited.com", "secret"), {"SERVICE=pop3"}, {}, 0,
       "amy@limited.com|/usr/local/tessera/domains/limited.com/amy|/bin/false|89:89|" +
           std::string(kExtra) + "|89||\n",
       ""},
      {"wrong password", input("joe@example.com", "Secret"), {}, {}, 1, "", ""},
      {"unknown account", input("bob@example.com", "secret"), {}, {}, 1, "", ""},
      {"unknown domain", input("joe@example.net", "secret"), {}, {}, 1, "", ""},
      {"empty hash", input("nopw@example.com", ""), {}, {}, 1, "", ""},
      {"alias domain", input("Joe@Alias.COM", "secret"), {}, {}, 0, qmail_joe, ""},
      {"% separator", input("joe%example.com", "secret"), {}, {}, 0, qmail_joe, ""},
      {"bare name", input("JOE", "secret"), {"TESSERA_DOMAIN=example.com"}, {}, 0, qmail_joe, ""},
      {"no timestamp", std::string("joe@example.com\0secret\0", 23), {}, {}, 0, qmail_joe, ""},
      {"over 512 bytes", input("joe@example.com", std::string(500, 'x')), {}, {}, 2, "", ""},
      {"no NUL after the password", std::string("joe@example.com\0secret", 22), {}, {}, 2, "", ""},
      {"no NUL at all", "joe@example.com", {}, {}, 2, "", ""},
      {"Dovecot stays the caller", input("joe@example.com", "secret"), {"ORIG_UID=0"}, {}, 0,
       joe + "0:0|" + kExtra + "|89||\n", ""},
      {"AUTHORIZED=1 found", input("ann@example.com", ""), {"AUTHORIZED=1", "AUTH_PROTOCOL=lmtp"},
       {}, 0,
       "ann@example.com|/usr/local/tessera/domains/example.com/ann|/bin/false|0:0|" +
           std::string(kExtra) + " userdb_quota_rule|89|*:storage=1024000B:messages=4|2\n",
       ""},
      {"AUTHORIZED=1 missing", input("bob@example.com", ""), {"AUTHORIZED=1", "ORIG_UID=0"}, {},
       3, "", ""},
  };
  for (const auto& c : cases) {
    RunResult r = login(c.bytes, c.env, c.args);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
  // Neither a refusal nor a lookup counts as a login.
  EXPECT_EQ(lines_of(tessera({"user", "show", "nopw@example.com"}).out).at(3), "last login: never");
  EXPECT_EQ(lines_of(tessera({"user", "show", "ann@example.com"}).out).at(3), "last login: never");
}

TEST_F(CheckpasswordTest, LoginLeavesItsAddressAndTimeInTheMailbox) {
  const std::string lastauth = domain_dir + "/joe/lastauth";
  const std::string outside = box.path("/outside");
  write_file(outside, "kept");
  const struct {
    std::string what;
    std::vector<std::string> env;
    std::string planted;  // "link" or "dir" at lastauth before the login
    std::string content;  // lastauth's content afterwards
  } cases[] = {
      {"client address", {"TCPREMOTEIP=192.0.2.7"}, "", "192.0.2.7"},
      {"no client address", {}, "", "unknown"},
      {"link at lastauth", {"TCPREMOTEIP=192.0.2.8"}, "link", "192.0.2.8"},
  };
  for (const auto& c : cases) {
    if (c.planted == "link") {
      unlink(lastauth.c_str());
      ASSERT_EQ(symlink(outside.c_str(), lastauth.c_str()), 0);
    }
    time_t before = time(nullptr);
    RunResult r = login(input("joe@example.com", "secret"), c.env);
    EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
    struct stat st;
    ASSERT_EQ(lstat(lastauth.c_str(), &st), 0) << c.what;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
    EXPECT_EQ(read_file(lastauth), c.content) << c.what;
    EXPECT_EQ(st.st_uid, 89u) << c.what;
    EXPECT_EQ(st.st_gid, 89u) << c.what;
    EXPECT_GE(st.st_mtime, before) << c.what;
    EXPECT_LE(st.st_mtime, time(nullptr)) << c.what;
    EXPECT_EQ(lines_of(tessera({"user", "show", "joe@example.com"}).out).at(3),
              "last login: " + utc_text(st.st_mtime) + " UTC from " + c.content)
        << c.what;
  }
  EXPECT_EQ(read_file(outside), "kept");

  // A record that cannot be written does not refuse the login.
  unlink(lastauth.c_str());
  write_file(lastauth + "/in-the-way", "");
  RunResult r = login(input("joe@example.com", "secret"), {"TCPREMOTEIP=192.0.2.9"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "tessera-checkpassword-sandbox: cannot record the login of joe@example.com\n");
}

// Started as root, the store is read as its home's owner, never as root.
TEST_F(CheckpasswordTest, StoreIsReadAsItsOwnerAndAStoreOutOfReachIsTemporary) {
  ASSERT_EQ(chmod(box.root().c_str(), 0711), 0);
  const std::string home = box.path("/usr/local/tessera");
  struct {
    std::string what;
    uid_t home_owner, domain_owner;
    bool users_cdb;
    int status;
  } cases[] = {
      {"store of 89", 89, 89, true, 0},
      {"domain only root may read", 89, 0, true, 111},
      {"root's store reads it", 0, 0, true, 0},
      {"no users/cdb", 0, 89, false, 111},
  };
  const std::string users_cdb = box.path("/var/qmail/users/cdb");
  const std::string table = read_file(users_cdb);
  for (const auto& c : cases) {
    ASSERT_EQ(chown(home.c_str(), c.home_owner, c.home_owner), 0);
    ASSERT_EQ(chown(domain_dir.c_str(), c.domain_owner, c.domain_owner), 0);
    if (c.users_cdb) write_file(users_cdb, table); else unlink(users_cdb.c_str());
    RunResult r = login(input("joe@example.com", "secret"), {});
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
  }
}

}  // namespace

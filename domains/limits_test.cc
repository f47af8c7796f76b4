#include "domains/limits.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "base/site.h"
#include "domains/assign.h"
#include "tests/testlib/testlib.h"

namespace {

using Expect = std::function<void(domain_limits&)>;

mode_t mode_of(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

// A 2048-byte window whose last line, "maxaliases: 1|2345", is cut by it.
std::string window_file() {
  std::string head = "maxpopaccounts: 4\n";
  std::string cut = "maxaliases: 12345\n";
  std::string pad = "#" + std::string(2048 - head.size() - 13 - 2, 'x') + "\n";
  return head + pad + cut + "maxforwards: 9\n";
}

TEST(ReadLimitsFile, FollowsTheLineAndValueRules) {
  struct Case {
    std::string text;
    Expect expect;
  } cases[] = {
      {"maxpopaccounts:::  7\n", [](auto& l) { l.maxpopaccounts = 7; }},
      {"maxaliases\t: 3\r\ndisable_imap\r\n",
       [](auto& l) { l.maxaliases = 3, l.disable_imap = 1; }},
      {"disable_pop: 0\ndelete_spam", [](auto& l) { l.disable_pop = 1, l.delete_spam = 1; }},
      {"maxaliases\nmaxforwards:\nquota\n", [](auto& l) { l.maxforwards = 0; }},
      {"perm_maillist: 73\nperm_quota: 15\n",
       [](auto& l) {
         l.perm_maillist = l.perm_maillist_group1 = l.perm_maillist_group2 = 1;
         l.perm_quota = 7;
       }},
      {"quota: 5", [](auto& l) { l.quota = 5; }},
      {"# maxforwards 3\n\tmaxforwards 4\nMAXFORWARDS 5\nmaxforwards 6\nbogus 1\n",
       [](auto& l) { l.maxforwards = 6; }},
      {"maxmailinglists: x9\ndefault_quota: 12abc\ndefault_maxmsgcount 18446744073709551615\n",
       [](auto& l) {
         l.maxmailinglists = 0, l.default_quota = 12;
         l.default_maxmsgcount = ~0ULL >> 1;  // strtoll stops at its largest value
       }},
      {window_file(), [](auto& l) { l.maxpopaccounts = 4; }},
  };
  Sandbox box;
  for (const Case& c : cases) {
    write_file(box.root() + "/limits", c.text);
    domain_limits read, expected;
    expected.perm_defaultquota = read.perm_defaultquota = 3;  // fields not named stay
    c.expect(expected);
    EXPECT_EQ(read_limits_file(box.root() + "/limits", read), 0) << c.text;
    EXPECT_EQ(format_limits(read), format_limits(expected)) << c.text;
  }
  domain_limits untouched;
  EXPECT_EQ(read_limits_file(box.root() + "/missing", untouched), -1);
}

// The store and the domain view split lines by one routine, each with its
// own separators: the view passes over leading ones, splits at CR and LF
// too, and keeps only the value's first word.
TEST(SplitLimitsLine, KeepsEachReadersSeparators) {
  struct Case {
    std::string_view line;
    bool view;
    std::optional<std::pair<std::string_view, std::string_view>> split;
  } cases[] = {
      {"maxaliases: 7 x", false, {{"maxaliases", "7 x"}}},
      {"maxaliases: 7 x", true, {{"maxaliases", "7"}}},
      {" maxaliases 7", false, std::nullopt},
      {" :maxaliases\r7\n", true, {{"maxaliases", "7"}}},
      {"maxaliases\r7", false, {{"maxaliases\r7", ""}}},
      {"# maxaliases 7", true, std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = split_limits_line(c.line, c.view ? kViewLimitsSyntax : kStoreLimitsSyntax);
    ASSERT_EQ(got.has_value(), c.split.has_value()) << c.line;
    if (got) {
      EXPECT_EQ(got->key, c.split->first) << c.line;
      EXPECT_EQ(got->value, c.split->second) << c.line;
    }
  }
}

TEST(WriteLimitsFile, WritesTheCanonicalTextThatReadsBack) {
  Sandbox box;
  domain_limits full{7, -1, 0, 3, 2, 100, 5000, 1048576, 10, 1, 0, 1, 0, 0, 0, 0, 0, 1, 1,
                     7, 1, 2, 3, 5, 2, 1, 4, 6};
  EXPECT_EQ(format_limits(full),
            "maxpopaccounts: 7\nmaxaliases: -1\nmaxforwards: 0\nmaxautoresponders: 3\n"
            "maxmailinglists: 2\nquota: 100\nmaxmsgcount: 5000\ndefault_quota: 1048576\n"
            "default_maxmsgcount: 10\ndisable_pop\ndisable_dialup\ndelete_spam\n"
            "disable_maildrop\nperm_account: 7\nperm_alias: 1\nperm_forward: 2\n"
            "perm_autoresponder: 3\nperm_maillist: 85\nperm_quota: 4\nperm_defaultquota: 6\n");
  std::string path = box.root() + "/limits";
  for (const domain_limits& limits : {full, domain_limits{}}) {
    ASSERT_EQ(write_limits_file(path, limits), 0);
    domain_limits back;
    ASSERT_EQ(read_limits_file(path, back), 0);
    EXPECT_EQ(back, limits);
  }
  // A rewrite keeps a narrowed mode and leaves no temporary file behind.
  chmod(path.c_str(), 0640);
  ASSERT_EQ(write_limits_file(path, full), 0);
  EXPECT_EQ(mode_of(path), 0640u);
  EXPECT_EQ(names_in(box.root()), (std::set<std::string>{"limits", "usr", "var", "www"}));
}

TEST(WriteLimitsFile, FailsWithoutTouchingTheTarget) {
  Sandbox box;
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_limits_file(box.root() + "/none/limits", domain_limits{}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "could not create " + box.root() + "/none/limits." + std::to_string(getpid()) +
                ": No such file or directory\n"
                "tlimits: failed to open limits file (2):  " + box.root() + "/none/limits\n");
  // The rename over a directory fails: -1 and the temporary file is gone.
  ASSERT_EQ(mkdir((box.root() + "/www/limits").c_str(), 0700), 0);
  EXPECT_EQ(write_limits_file(box.root() + "/www/limits", domain_limits{}), -1);
  EXPECT_EQ(names_in(box.root() + "/www"), (std::set<std::string>{"html", "limits"}));
}

// Cut, the path would name another file: past 299 characters there is none.
TEST(DomainLimitsPath, IsRefusedPast299) {
  EXPECT_EQ(domain_limits_path("/d"), "/d/.kestrel-limits");
  EXPECT_EQ(domain_limits_path(std::string(283, 'd')).size(), 299u);
  EXPECT_EQ(domain_limits_path(std::string(284, 'd')), "");
  EXPECT_EQ(write_limits_text(DomainHome{std::string(284, 'd'), 0, 0, DomainName()}, "quota: 5\n"), -1);
}

class DomainLimits : public testing::Test {
 protected:
  void SetUp() override {
    site_set_root(box_.root());
    dir_ = box_.path("/usr/local/tessera/domains/example.com");
    write_file(dir_ + "/keep", "");
    write_file(box_.path("/var/qmail/users/assign"),
               "+example.com-:example.com:" + std::to_string(getuid()) + ":" +
                   std::to_string(getgid()) + ":" + dir_ + ":-::\n.\n");
    run_qmail_newu();
  }
  void TearDown() override { site_set_root(""); }
  std::string own() const { return dir_ + "/.kestrel-limits"; }
  std::string defaults() const { return box_.path("/usr/local/tessera/etc/tlimits.default"); }

  Sandbox box_;
  std::string dir_;
};

TEST_F(DomainLimits, ReadsTheOwnFileElseTheDefaults) {
  struct Case {
    const char* own;       // nullptr: no file of its own
    const char* defaults;  // nullptr: no defaults file
    int rc;
    int32_t maxpopaccounts;
  } cases[] = {{"maxpopaccounts 3\n", "maxpopaccounts 9\n", 0, 3},
               {"", "maxpopaccounts 9\n", 0, -1},
               {nullptr, "maxpopaccounts 9\n", 0, 9},
               {nullptr, nullptr, -1, -1}};
  for (const Case& c : cases) {
    unlink(own().c_str());
    unlink(defaults().c_str());
    if (c.own != nullptr) write_file(own(), c.own), chmod(own().c_str(), 0644);
    if (c.defaults != nullptr) write_file(defaults(), c.defaults), chmod(defaults().c_str(), 0644);
    domain_limits limits;
    limits.quota = 77;  // reset before reading
    EXPECT_EQ(get_domain_limits(DomainName("EXAMPLE.COM"), limits), c.rc);
    EXPECT_EQ(limits.maxpopaccounts, c.maxpopaccounts);
    EXPECT_EQ(limits.quota, 0u);
    EXPECT_TRUE(c.own == nullptr || mode_of(own()) == 0600u) << c.own;
    EXPECT_TRUE(c.defaults == nullptr || mode_of(defaults()) == 0644u);
  }
  testing::internal::CaptureStderr();
  domain_limits limits;
  EXPECT_EQ(get_domain_limits(DomainName("nowhere.org"), limits), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error. Domain nowhere.org was not found in the assign file\n");
}

TEST_F(DomainLimits, LinkedFileIsReadButNotReowned) {
  write_file(box_.root() + "/elsewhere", "maxaliases 4\n");
  chmod((box_.root() + "/elsewhere").c_str(), 0644);
  ASSERT_EQ(symlink((box_.root() + "/elsewhere").c_str(), own().c_str()), 0);
  domain_limits limits;
  EXPECT_EQ(get_domain_limits(DomainName("example.com"), limits), 0);
  EXPECT_EQ(limits.maxaliases, 4);
  EXPECT_EQ(mode_of(box_.root() + "/elsewhere"), 0644u);
}

TEST_F(DomainLimits, WritesAndDeletesTheDomainsFile) {
  domain_limits limits;
  limits.disable_smtp = 1;
  mode_t old_mask = umask(0277);
  EXPECT_EQ(write_domain_limits(DomainName("example.com"), limits), 0);
  umask(old_mask);
  EXPECT_EQ(read_file(own()), format_limits(limits));
  EXPECT_EQ(mode_of(own()), 0600u);
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{".kestrel-limits", "keep"}));
  EXPECT_EQ(write_domain_limits(DomainName("nowhere.org"), limits), -11);
  EXPECT_EQ(delete_domain_limits(DomainName("example.com")), 0);
  EXPECT_EQ(delete_domain_limits(DomainName("example.com")), -1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(delete_domain_limits(DomainName("nowhere.org")), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed tget_assign for nowhere.org\n");
}

TEST(LimitsFlagMask, NamesTheAccountBitOfEachServiceFlag) {
  domain_limits all;
  all.disable_pop = all.disable_imap = all.disable_dialup = all.disable_password_changing = 1;
  all.disable_webmail = all.disable_external_relay = all.disable_smtp = 1;
  all.disable_spamassassin = all.delete_spam = all.disable_maildrop = 1;
  EXPECT_EQ(limits_flag_mask(all), 0x4c86f);
  EXPECT_EQ(limits_flag_mask(domain_limits{}), 0);
}

}  // namespace

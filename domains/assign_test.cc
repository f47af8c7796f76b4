#include "domains/assign.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/error.h"
#include "base/site.h"
#include "tests/testlib/testlib.h"

namespace {

class AssignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_set_root(box.root());
  }
  void TearDown() override { site_set_root(""); }

  std::string qmail(const std::string& name) { return box.path("/var/qmail/" + name); }

  // Enters the domains through the table routine, so users/cdb is compiled
  // by the stand-in exactly as in production.
  void add(const std::string& name, const std::string& real, const std::string& dir) {
    ASSERT_EQ(assign_add_domain(name, real, dir, 89, 89), 0);
  }

  static mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  Sandbox box;
};

TEST_F(AssignTest, ALookupNeverAnswersFromAnotherRootsTable) {
  add("example.com", "example.com", "/d/0/example.com");
  ASSERT_STREQ(tget_assign(DomainName("example.com"), nullptr, 0, nullptr, nullptr),
               "/d/0/example.com");
  Sandbox other;
  site_set_root(other.root());
  EXPECT_EQ(tget_assign(DomainName("example.com"), nullptr, 0, nullptr, nullptr), nullptr);
  add("example.com", "example.com", "/d/1/example.com");
  EXPECT_STREQ(tget_assign(DomainName("example.com"), nullptr, 0, nullptr, nullptr),
               "/d/1/example.com");
}

TEST_F(AssignTest, LookupLowerCasesAndResolvesAliasesToTheRealDomain) {
  add("example.com", "example.com", "/d/0/example.com");
  add("alias.org", "example.com", "/d/0/example.com");
  struct Case {
    std::string given, name_after;
  } cases[] = {{"EXAMPLE.COM", "example.com"}, {"Alias.ORG", "example.com"}};
  for (const Case& c : cases) {
    std::string name, dir;
    uid_t uid = 0;
    gid_t gid = 0;
    const char* result = tget_assign(DomainName(c.given), &dir, 300, &uid, &gid, &name);
    ASSERT_NE(result, nullptr) << c.given;
    EXPECT_STREQ(result, "/d/0/example.com");
    EXPECT_EQ(dir, "/d/0/example.com");
    EXPECT_EQ(name, c.name_after);
    EXPECT_EQ(uid, 89u);
    EXPECT_EQ(gid, 89u);
  }
  // A directory too long for the caller's field is refused, not cut to
  // another directory's name.
  std::string cut_dir = "kept";
  EXPECT_EQ(tget_assign(DomainName("example.com"), &cut_dir, 16, nullptr, nullptr), nullptr);
  EXPECT_EQ(cut_dir, "kept");
  for (std::string missing : {"", "nowhere.net"}) {
    EXPECT_EQ(tget_assign(DomainName(missing), nullptr, 0, nullptr, nullptr), nullptr) << missing;
  }
}

TEST_F(AssignTest, LookupCutsLongNamesTo156Characters) {
  std::string long_name = std::string(156, 'a');
  add(long_name, long_name, "/d/long");
  std::string given;
  EXPECT_NE(tget_assign(DomainName(long_name + "bcd"), nullptr, 0, nullptr, nullptr, &given),
            nullptr);
  EXPECT_EQ(given.size(), 96u);  // the real domain's name as handed back
}

TEST_F(AssignTest, CacheServesRepeatsUntilDomainsAreRemoved) {
  add("example.com", "example.com", "/d/example.com");
  const DomainName name("example.com");
  ASSERT_NE(tget_assign(name, nullptr, 0, nullptr, nullptr), nullptr);
  // Without users/cdb only the cache can answer.
  std::string saved = read_file(qmail("users/cdb"));
  ASSERT_EQ(unlink(qmail("users/cdb").c_str()), 0);
  EXPECT_NE(tget_assign(name, nullptr, 0, nullptr, nullptr), nullptr);
  write_file(qmail("users/cdb"), saved);
  const std::string names[] = {"example.com"};
  ASSERT_EQ(assign_remove_domains(names, 1, "example.com", "/d/example.com", 89, 89), 0);
  EXPECT_EQ(tget_assign(name, nullptr, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(read_file(qmail("users/assign")), ".\n");
}

TEST_F(AssignTest, AddingFillsEveryTableAndLeavesThemReadable) {
  write_file(qmail("control/locals"), "localhost\nexample.com\n");
  umask(077);
  add("example.com", "example.com", "/d/example.com");
  umask(022);
  EXPECT_EQ(read_file(qmail("users/assign")),
            "+example.com-:example.com:89:89:/d/example.com:-::\n.\n");
  EXPECT_EQ(read_file(qmail("control/rcpthosts")), "example.com\n");
  EXPECT_EQ(read_file(qmail("control/virtualdomains")), "example.com:example.com\n");
  EXPECT_EQ(read_file(qmail("control/locals")), "localhost\n");
  for (const char* table : {"users/assign", "control/rcpthosts", "control/virtualdomains",
                            "control/locals"}) {
    EXPECT_EQ(mode_of(qmail(table)), 0644u) << table;
  }
}

TEST_F(AssignTest, MissingLocalsStaysMissing) {
  add("example.com", "example.com", "/d/example.com");
  EXPECT_FALSE(file_exists(qmail("control/locals")));
}

TEST_F(AssignTest, RcpthostsOverflowsIntoMorercpthostsAtFiftyLines) {
  struct Case {
    int lines;
    bool to_more;
  } cases[] = {{49, false}, {50, true}};
  for (const Case& c : cases) {
    std::string hosts;
    for (int i = 0; i < c.lines; ++i) hosts += "h" + std::to_string(100 + i) + ".net\n";
    write_file(qmail("control/rcpthosts"), hosts);
    unlink(qmail("control/morercpthosts").c_str());
    unlink(qmail("control/morercpthosts.cdb").c_str());
    std::string name = "new" + std::to_string(c.lines) + ".org";
    add(name, name, "/d/" + name);
    std::string rcpthosts = read_file(qmail("control/rcpthosts"));
    EXPECT_EQ(rcpthosts.find(name) != std::string::npos, !c.to_more) << c.lines;
    EXPECT_EQ(read_file(qmail("control/morercpthosts")), c.to_more ? name + "\n" : "");
    EXPECT_EQ(file_exists(qmail("control/morercpthosts.cdb")), c.to_more);
  }
}

TEST_F(AssignTest, IteratorYieldsWellFormedEntriesOfTheAskedRealDomain) {
  // users/cdb knows the alias, so a key naming it finds its real domain.
  add("alias.net", "a.com", "/d/a.com");
  write_file(qmail("users/assign"),
             "+a.com-:a.com:89:89:/d/a.com:-::\n"
             "+alias.net-:a.com:89:89:/d/a.com:-::\n"
             "=a.com:a.com:89:89:/d/a.com:::\n"
             "+nodot-:nodot:89:89:/d/nodot:-::\n"
             "+b.org-:::b.org:7:8:/d/b.org:-::\n"
             "+short.org-:short.org:1:2\n"
             ".\n");
  struct Case {
    std::string key;
    std::vector<std::string> names;
  } cases[] = {{"", {"a.com", "alias.net", "b.org"}},
               {"A.COM", {"a.com", "alias.net"}},
               {"alias.net", {"a.com", "alias.net"}},
               {"none.org", {}}};
  for (const Case& c : cases) {
    std::vector<std::string> names;
    AssignEntries entries{DomainName(c.key)};
    for (const AssignEntry* e = entries.next(); e; e = entries.next()) {
      names.push_back(e->name);
      if (e->name == "b.org") {
        EXPECT_EQ(e->uid, 7);
        EXPECT_EQ(e->gid, 8);
        EXPECT_EQ(e->dir, "/d/b.org");
      }
    }
    EXPECT_EQ(names, c.names) << c.key;
  }
}

TEST_F(AssignTest, IteratorWithoutAssignFileSetsItsCode) {
  last_error = 0;
  const DomainName all;
  AssignEntries entries(all);
  EXPECT_EQ(entries.next(), nullptr);
  EXPECT_EQ(last_error, kErrAssignFile);
  last_error = 0;
}

// The store's reader wants a full entry line; the domain list takes any
// line with two fields and shows the first less its ends.
TEST(SplitAssignLine, StoreAndViewSyntaxesSplitAsTheirReadersDo) {
  struct Case {
    std::string_view line;
    bool view;
    std::optional<std::vector<std::string_view>> fields;  // name, real, uid, gid, dir
  } cases[] = {
      {"+a.com-:b.org:89:90:/d/a.com:-::", false, {{"a.com", "b.org", "89", "90", "/d/a.com"}}},
      {"+::a.com-::b.org:1:2:/d", false, {{"a.com", "b.org", "1", "2", "/d"}}},
      {"+ a.com-:r:1:2:/d", false, {{" a.com", "r", "1", "2", "/d"}}},
      {"+localhost-:r:1:2:/d", false, std::nullopt},
      {"a.com-:r:1:2:/d", false, std::nullopt},
      {"+a.com:r:1:2:/d", false, std::nullopt},
      {"+a.com-:r:1:2", false, std::nullopt},
      {".", false, std::nullopt},
      {"+a.com-:b.org:89:90:/d/a.com:-::\n", true, {{"a.com", "b.org", "89", "90", "/d/a.com"}}},
      {"  +localhost- r\r\n", true, {{"localhost", "r", "", "", ""}}},
      {"a.com-:r", true, {{".com", "r", "", "", ""}}},
      {"x:r", true, {{"", "r", "", "", ""}}},
      {".\n", true, std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = split_assign_line(c.line, c.view ? kViewAssignSyntax : kStoreAssignSyntax);
    ASSERT_EQ(got.has_value(), c.fields.has_value()) << c.line;
    if (got) {
      EXPECT_EQ((std::vector<std::string_view>{got->name, got->real_domain, got->uid, got->gid,
                                               got->dir}),
                *c.fields)
          << c.line;
    }
  }
}

}  // namespace

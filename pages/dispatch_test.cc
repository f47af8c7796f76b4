#include "pages/dispatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "tests/testlib/testlib.h"

namespace {

namespace fs = std::filesystem;

// Fields naming every command's object and setting, so that a command that
// does change something finds all it needs to do so.
const std::string kEveryField =
    "dname=walk.example&adname=alias.example&eaddr=ann@walk.example&file_name=me&fname=me"
    "&tarea=x&rows=5&cols=5&rws=5&cls=5&pp=pw&cpass=pw2&ppass=pw3&quota=9000S&lusers=3"
    "&lalias=3&lfor=3&lresponder=3&llists=3&upop=on&uimap=on&udialup=on&upassc=on&uweb=on"
    "&urelay=on&udisable=on&ubounce=on&ukestrel=on"
    "&forwards=bob@else.example&keep=on&vsubject=away&vtext=back&vuntil=2030-01-31"
    "&aname=sales&adest=bob@else.example&ctype=delete";

RunResult run_cgi(const Sandbox& box, const std::string& form, bool post,
                  const std::string& extra = "X=", const std::string& user = "alice") {
  RunOptions options{
      {build_output("larkspur-sandbox.cgi")},
      {"REMOTE_USER=" + user, "LARKSPUR_ROOT=" + box.root(), "PATH=/usr/bin:/bin", extra,
       post ? "REQUEST_METHOD=POST" : "REQUEST_METHOD=GET",
       post ? "CONTENT_LENGTH=" + std::to_string(form.size()) : "QUERY_STRING=" + form},
      post ? form : "",
      box.www()};
  return run_program(options);
}

// Every entry under the root: path -> (mode and owner, bytes or target).
using Tree = std::map<std::string, std::pair<std::string, std::string>>;
Tree tree_of(const std::string& root) {
  Tree tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    auto& [meta, bytes] = tree[entry.path().string()];
    meta = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
           std::to_string(st.st_gid);
    if (S_ISREG(st.st_mode)) bytes = read_file(entry.path());
    if (S_ISLNK(st.st_mode)) bytes = fs::read_symlink(entry.path()).string();
  }
  return tree;
}

// The entries that differ between two trees, one per line.
std::string changes(const Tree& before, const Tree& after) {
  std::string out;
  for (const auto& [path, facts] : after) {
    out += before.contains(path) && before.at(path) == facts ? "" : path + " is new or changed\n";
  }
  for (const auto& [path, facts] : before) out += after.contains(path) ? "" : path + " is gone\n";
  return out;
}

// A store with a domain, a quota'd account with mail and a .qmail, an
// alias file and a control file, made through the pages themselves.
void fill_store(const Sandbox& box) {
  for (const char* name :
       {"main", "add_domain", "del_domain", "view_domain", "mod_domain", "add_user", "del_user",
        "view_user", "mod_user", "ctrl_file", "qmail_controls_top", "qmail_controls_middle",
        "qmail_controls_bottom", "init_error", "error", "mod_routing"}) {
    write_file(box.www() + "/html/" + name + ".html", std::string(name) + " %-W %-E\n");
  }
  write_file(box.www() + "/html/show_aliases.html", "show_aliases %-W %-E\n");
  write_file(box.www() + "/larkspur.acl", "admins * alice\n");
  for (const char* form : {"nav=add_domain&dname=walk.example&pp=pw&quota=5000S",
                           "nav=add_user&eaddr=ann@walk.example&cpass=pw&quota=5000S",
                           "nav=modify_file&file_name=me&tarea=host"}) {
    ASSERT_EQ(run_cgi(box, form, true).status, 0) << form;
  }
  const std::string domain = box.path("/usr/local/tessera/domains/walk.example");
  write_file(domain + "/ann/Maildir/new/1.host", "Subject: x\n\nbody\n");
  write_file(domain + "/ann/.qmail", "&bob@else.example\n");
  write_file(domain + "/.qmail-sales", "&bob@else.example\n" + domain + "/ann/Maildir/\n");
}

// Every command that can change the store must be marked so in the table,
// or it would skip the cross-site guard and the audit log: a command that
// is not marked leaves every file as it was, whatever the request carries;
// one that is marked refuses a cross-site request, changes nothing, and
// logs the refusal.
TEST(CommandTable, OnlyCommandsMarkedChangingChangeTheStore) {
  for (const Command& command : command_table()) {
    EXPECT_EQ(find_command(command.nav), &command) << command.nav;
    EXPECT_TRUE(!command.changes || command.object != nullptr) << command.nav;
    Sandbox box;
    fill_store(box);
    const std::string log = box.path("/usr/local/tessera/etc/larkspur.log");
    const std::string record = box.path("/usr/local/tessera/domains/walk.example/.dir-control");
    const std::string form = std::string("nav=") + command.nav + "&" + kEveryField;
    if (!command.changes) {
      auto before = tree_of(box.root());
      for (bool post : {false, true}) {
        RunResult r = run_cgi(box, form, post);
        EXPECT_EQ(r.status, 0) << command.nav << r.err;
        auto after = tree_of(box.root());
        // Viewing a domain writes its allocation record back: the same
        // bytes, in a new file made under the web server's umask.
        if (std::string(command.nav) == "view_domain") after[record].first = before[record].first;
        EXPECT_EQ(changes(before, after), "") << command.nav << (post ? " POST" : " GET");
      }
      continue;
    }
    const size_t logged = read_file(log).size();
    auto before = tree_of(box.root());
    RunResult r = run_cgi(box, form, true, "HTTP_SEC_FETCH_SITE=cross-site");
    EXPECT_EQ(r.out,
              cgi_response("Status: 403 Forbidden\ninit_error  Cross-site request refused\n"));
    const std::string line = read_file(log).substr(logged);
    EXPECT_TRUE(line.find(std::string("\t") + command.nav + "\t") != std::string::npos &&
                line.ends_with("\tCross-site request refused\n") && lines_of(line).size() == 1)
        << command.nav << ": " << line;
    before[log] = tree_of(box.root())[log];  // the one file allowed to change
    EXPECT_EQ(changes(before, tree_of(box.root())), "") << command.nav;
  }
}

// A domain administrator (alice, scoped to walk.example and the name
// alias.example) against every command of the table: on her domain, on
// another one, on an alias of hers, and bob, unscoped, on the other domain.
// A refusal names the domain, changes nothing and is logged; the
// control-file pages are refused to her whole. New rows are covered as
// they come: the case is chosen by the row's kind.
TEST(CommandTable, DomainAdministratorReachesOnlyTheirDomains) {
  const char* kControlRefusal = "Control files belong to the whole host and are not yours to manage";
  for (const Command& command : command_table()) {
    if (command.kind == ObjectKind::kDomainList) continue;  // filtered: domain_pages_test
    Sandbox box;
    fill_store(box);
    write_file(box.www() + "/larkspur.acl", "admins * alice,bob\n");
    for (const char* form : {"nav=add_alias_domain&dname=walk.example&adname=walk-alias.example",
                             "nav=add_domain&dname=other.example&pp=pw",
                             "nav=add_user&eaddr=ann@other.example&cpass=pw"}) {
      ASSERT_EQ(run_cgi(box, form, true).status, 0) << form;
    }
    write_file(box.www() + "/larkspur.scope", "# customers\nalice walk.example,alias.example\n");
    const bool control = command.kind == ObjectKind::kControlFile;
    const struct {
      const char* user;
      const char* domain;
      const char* refusal;  // nullptr: the handler runs
    } cases[] = {
        {"alice", "other.example",
         control ? kControlRefusal : "Domain other.example is not yours to manage"},
        {"alice", "walk-alias.example", control ? kControlRefusal : nullptr},
        {"alice", "walk.example", control ? kControlRefusal : nullptr},
        {"bob", "other.example", nullptr},
    };
    const std::string log = box.path("/usr/local/tessera/etc/larkspur.log");
    for (const auto& c : cases) {
      const std::string form = std::string("nav=") + command.nav + "&" +
                               std::regex_replace(kEveryField, std::regex("walk\\.example"), c.domain);
      const std::string what = std::string(command.nav) + " " + c.user + " " + c.domain;
      const size_t logged = read_file(log).size();
      auto before = tree_of(box.root());
      RunResult r = run_cgi(box, form, true, "X=", c.user);
      EXPECT_EQ(r.status, 0) << what << r.err;
      if (c.refusal == nullptr) {
        EXPECT_EQ(r.out.find("not yours to manage"), std::string::npos) << what << r.out;
        continue;
      }
      EXPECT_EQ(r.out, cgi_response(std::string("main ") + c.refusal + "<BR><BR> \n")) << what;
      const std::string line = read_file(log).substr(logged);
      EXPECT_TRUE(line.find(std::string("\t") + command.nav + "\t") != std::string::npos &&
                  line.ends_with(std::string("\t") + c.refusal + "\n") && lines_of(line).size() == 1)
          << what << ": " << line;
      before[log] = tree_of(box.root())[log];
      EXPECT_EQ(changes(before, tree_of(box.root())), "") << what;
    }
  }
}

// A name the site hands out before it exists may be created by its
// administrator, as a domain or as an alias of theirs; any other name not.
TEST(CommandTable, DomainAdministratorCreatesOnlyNamesTheirScopeLists) {
  Sandbox box;
  fill_store(box);
  write_file(box.www() + "/larkspur.scope", "alice walk.example,new.example,new-alias.example\n");
  const struct {
    const char* form;
    const char* page;
  } cases[] = {
      {"nav=add_domain&dname=else.example&pp=pw", "main Domain else.example is not yours to manage<BR><BR> \n"},
      {"nav=add_domain&dname=New.Example&pp=pw", "main Created Domain<BR>Domain postmaster added<BR><BR> \n"},
      {"nav=add_alias_domain&dname=walk.example&adname=else-alias.example",
       "main Domain else-alias.example is not yours to manage<BR><BR> \n"},
      {"nav=add_alias_domain&dname=walk.example&adname=new-alias.example", "main Alias Domain Added<BR><BR> \n"},
      {"nav=add_user&eaddr=bo@new-alias.example&cpass=pw", "mod_user Email Account bo@new-alias.example created<BR><BR> \n"},
  };
  for (const auto& c : cases) EXPECT_EQ(run_cgi(box, c.form, true).out, cgi_response(c.page)) << c.form;
}

}  // namespace

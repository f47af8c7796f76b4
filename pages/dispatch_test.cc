#include "pages/dispatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
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
    "&urelay=on&udisable=on&ubounce=on&ukestrel=on";

RunResult run_cgi(const Sandbox& box, const std::string& form, bool post,
                  const std::string& extra = "X=") {
  RunOptions options{
      {build_output("larkspur-sandbox.cgi")},
      {"REMOTE_USER=alice", "LARKSPUR_ROOT=" + box.root(), "PATH=/usr/bin:/bin", extra,
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
        "qmail_controls_bottom", "init_error", "error"}) {
    write_file(box.www() + "/html/" + name + ".html", std::string(name) + " %-W %-E\n");
  }
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
    EXPECT_EQ(command.changes, command.object != nullptr) << command.nav;
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

}  // namespace

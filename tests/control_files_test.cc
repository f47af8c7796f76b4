// The control-file pages end to end: list, editor, write, delete, each
// through the sandbox program against the sandbox's qmail control folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/testlib/testlib.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = "Content-type: text/html\n\n";

// The list page's files and qmail's defaults for them, in page order.
const std::vector<std::pair<std::string, std::string>> kTable = {
    {"badmailfrom", "none"},      {"bouncefrom", "MAILER-DAEMON"},
    {"bouncehost", "me"},         {"concurrencylocal", "10"},
    {"concurrencyremote", "20"},  {"defaultdomain", "me"},
    {"defaulthost", "me"},        {"databytes", "0"},
    {"doublebouncehost", "me"},   {"doublebounceto", "postmaster"},
    {"envnoathost", "me"},        {"helohost", "me"},
    {"idhost", "me"},             {"localiphost", "me"},
    {"me", "me"},                 {"percenthack", "none"},
    {"plusdomain", "me"},         {"qmapservers", "none"},
    {"queuelifetime", "60480 (7 days)"}, {"smtpgreeting", "me"},
    {"smtproutes", "none"},       {"timeoutconnect", "60"},
    {"timeoutremote", "1200"},    {"timeoutsmtpd", "1200"},
};

class ControlRequest {
 public:
  ControlRequest() {
    page("main.html", "MAIN\n");
    page("init_error.html", "INIT E=%-E\n");
    page("error.html", "ERROR E=%-E\n");
    page("auth_failed.html", "AUTH\n");
    page("ctrl_file.html", "NM=$-NM RW=$-RW CL=$-CL CF=$-CF\n");
    page("qmail_controls_top.html", "TOP %-W|%-W|\n");
    page("qmail_controls_middle.html", "$-a0[$-a1][$-a2]\n");
    page("qmail_controls_bottom.html", "BOTTOM NM=$-NM RW=$-RW CL=$-CL CF=$-CF\n");
    write_file(box_.www() + "/larkspur.acl", "admins * alice\n");
  }
  void page(const std::string& name, const std::string& text) {
    write_file(box_.www() + "/html/" + name, text);
  }
  std::string control(const std::string& name) const {
    return box_.path("/var/qmail/control/" + name);
  }
  const Sandbox& box() const { return box_; }

  RunResult get(const std::string& query, const std::string& program = "larkspur-sandbox.cgi") {
    RunOptions options;
    options.argv = {build_output(program)};
    options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=GET", "QUERY_STRING=" + query,
                   "LARKSPUR_ROOT=" + box_.root()};
    options.workdir = box_.www();
    return run_program(options);
  }
  // The same request given at most `seconds` to end (timeout's status 124
  // when it hangs), for files that could hold a request forever.
  RunResult get_within(const std::string& query, const char* seconds) {
    RunOptions options;
    options.argv = {"/usr/bin/timeout", seconds, build_output("larkspur-sandbox.cgi")};
    options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=GET", "QUERY_STRING=" + query,
                   "LARKSPUR_ROOT=" + box_.root()};
    options.workdir = box_.www();
    return run_program(options);
  }
  // A shell line that posts the body held in body_file.
  std::string post_line(const std::string& body_file, size_t length) const {
    return "cd " + box_.www() + " && env -i REMOTE_USER=alice REQUEST_METHOD=POST CONTENT_LENGTH=" +
           std::to_string(length) + " LARKSPUR_ROOT=" + box_.root() + " " +
           build_output("larkspur-sandbox.cgi") + " < " + body_file + " > /dev/null";
  }
  RunResult post(const std::string& body) {
    RunOptions options;
    options.argv = {build_output("larkspur-sandbox.cgi")};
    options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=POST",
                   "CONTENT_LENGTH=" + std::to_string(body.size()), "LARKSPUR_ROOT=" + box_.root()};
    options.input = body;
    options.workdir = box_.www();
    return run_program(options);
  }

 private:
  Sandbox box_;
};

// The middle lines of the list page for the given control-file contents
// (a file missing from the map does not exist).
std::string listing(const std::map<std::string, std::string>& contents) {
  std::string out;
  for (const auto& [name, description] : kTable) {
    auto found = contents.find(name);
    std::string shown = found == contents.end() ? "default" : found->second;
    out += "<a href=/cgi-bin/larkspur/larkspur.cgi?nav=display_file&fname=" + name + ">" + name +
           "</a>\n[" + shown + "][" + description + "]\n";
  }
  return out;
}

std::string url_encode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// What a browser makes of escaped text inside a textarea.
std::string html_unescape(std::string text) {
  const std::pair<std::string, std::string> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : entities) {
      if (text.compare(i, entity.size(), entity) == 0) {
        out += c;
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// Names in the control folder that the editor must never leave behind.
std::vector<std::string> temporary_files(const ControlRequest& r) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(r.box().path("/var/qmail/control"))) {
    std::string name = entry.path().filename().string();
    if (name[0] == '.') found.push_back(name);
  }
  return found;
}


mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

TEST(ShowControls, ListsTheTwentyFourFilesInOrder) {
  const std::string long_text(2000, 'L');
  const struct {
    const char* what;
    std::map<std::string, std::string> files;  // written before the request
    std::map<std::string, std::string> shown;  // what a1 shows
  } cases[] = {
      {"nothing configured", {}, {}},
      {"values and empty files",
       {{"me", "mail.example.com\n"}, {"badmailfrom", ""}, {"smtproutes", ""}},
       {{"me", "mail.example.com\n"}, {"badmailfrom", ""}, {"smtproutes", ""}}},
      {"markup in a file is escaped",
       {{"smtpgreeting", "<b>&'\"</textarea>\n"}},
       {{"smtpgreeting", "&lt;b&gt;&amp;&#39;&quot;&lt;/textarea&gt;\n"}}},
      {"only the first 999 bytes", {{"databytes", long_text}}, {{"databytes", long_text.substr(0, 999)}}},
      {"files outside the table are not listed", {{"rcpthosts", "example.com\n"}}, {}},
  };
  for (const auto& c : cases) {
    ControlRequest r;
    for (const auto& [name, text] : c.files) write_file(r.control(name), text);
    RunResult result = r.get("nav=show_controls");
    EXPECT_EQ(result.out, kHeader + "TOP ||\n" + listing(c.shown) +
                              "BOTTOM NM= RW= CL= CF=\n")
        << c.what;
    EXPECT_EQ(result.status, 0) << c.what;
  }
}

// Besides the link line, each row names its file bare, so a template can
// quote its own link; the shipped one does.
TEST(ShowControls, EachRowAlsoNamesItsFile) {
  ControlRequest r;
  r.page("qmail_controls_middle.html", "$-a3|\n");
  std::string names;
  for (const auto& [name, description] : kTable) names += name + "|\n";
  EXPECT_EQ(r.get("nav=show_controls").out, kHeader + "TOP ||\n" + names + "BOTTOM NM= RW= CL= CF=\n");
  r.page("qmail_controls_middle.html",
         read_file(build_output("html/qmail_controls_middle.html")));
  EXPECT_NE(r.get("nav=show_controls").out.find(
                "<a href=\"/cgi-bin/larkspur/larkspur.cgi?nav=display_file&amp;fname=badmailfrom\">"
                "badmailfrom</a>"),
            std::string::npos);
}

TEST(DisplayFile, ShowsOneFileInTheEditor) {
  const std::string long_text(2000, 'L');
  const struct {
    std::string query;
    std::map<std::string, std::string> files;
    std::string body;
  } cases[] = {
      {"nav=display_file", {}, "INIT E=: cannot find file\n"},
      {"nav=display_file&fname=..%2Fx", {}, "INIT E=: invalid file name\n"},
      {"nav=display_file&fname=a%2Fb", {}, "INIT E=: invalid file name\n"},
      {"nav=display_file&fname=rcpthosts.bak", {}, "INIT E=: invalid file name\n"},
      {"nav=display_file&fname=" + std::string(300, 'n'), {}, "INIT E=: invalid file name\n"},
      {"nav=display_file&fname=me", {}, "NM=me RW=20 CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=5&cols=40", {{"me", "host\n"}},
       "NM=me RW=5 CL=40 CF=host\n\n"},
      {"nav=display_file&fname=me&rows=&cols=", {{"me", "host\n"}}, "NM=me RW= CL= CF=host\n\n"},
      {"nav=display_file&fname=databytes", {{"databytes", long_text}},
       "NM=databytes RW=20 CL=80 CF=" + long_text + "\n"},
      {"nav=display_file&fname=rcpthosts", {{"rcpthosts", "a.example\nb.example\n"}},
       "NM=rcpthosts RW=20 CL=80 CF=a.example\nb.example\n\n"},
      {"nav=display_file&fname=me", {{"me", "</textarea><b>&\n"}},
       "NM=me RW=20 CL=80 CF=&lt;/textarea&gt;&lt;b&gt;&amp;\n\n"},
      {"nav=display_file&fname=%3Ci%3E", {}, "NM=&lt;i&gt; RW=20 CL=80 CF=\n"},
      {"nav=display_file&fname=me", {{"me", ""}}, "NM=me RW=20 CL=80 CF=\n"},
  };
  for (const auto& c : cases) {
    ControlRequest r;
    for (const auto& [name, text] : c.files) write_file(r.control(name), text);
    RunResult result = r.get(c.query);
    EXPECT_EQ(result.out, kHeader + c.body) << c.query;
    EXPECT_EQ(result.status, 0) << c.query;
  }
}

TEST(DisplayFile, RefusesLinksAndReportsFilesThatWillNotOpen) {
  ControlRequest r;
  write_file(r.box().path("/secret"), "secret\n");
  fs::create_symlink(r.box().path("/secret"), r.control("me"));
  make_socket(r.control("sock"));
  EXPECT_EQ(r.get("nav=display_file&fname=me").out, kHeader + "INIT E=: not a file\n");
  EXPECT_EQ(r.get("nav=display_file&fname=sock").out, kHeader + "INIT E=could not open sock\n");
}

struct ModifyCase {
  std::string query;
  std::optional<std::string> before;  // "me" before the request
  std::optional<std::string> after;   // "me" after it (none: absent)
  std::string body;
};

TEST(ModifyFile, WritesTheEditorTextAndShowsTheList) {
  const std::string list = listing({});
  auto page_after = [&](const std::string& written, const std::string& fields) {
    return "TOP me updated successfully<BR><BR>|me updated successfully<BR>|\n" +
           listing({{"me", written}}) + "BOTTOM " + fields + "\n";
  };
  const ModifyCase cases[] = {
      {"nav=modify_file&file_name=me&tarea=a%0D%0Ab%0D%0A", std::nullopt, "a\nb\n",
       page_after("a\nb\n", "NM=me RW=20 CL=80 CF=a\r\nb\r\n")},
      {"nav=modify_file&file_name=me&tarea=a%0D%0Ab", "old\n", "a\nb\n",
       page_after("a\nb\n", "NM=me RW=20 CL=80 CF=a\r\nb")},
      {"nav=modify_file&file_name=me&tarea=", "old\n", "\n",
       page_after("\n", "NM=me RW=20 CL=80 CF=")},
      {"nav=modify_file&file_name=me&tarea=x%0B%0By", std::nullopt, "xy\n",
       page_after("xy\n", "NM=me RW=20 CL=80 CF=x\v\vy")},
      {"nav=modify_file&file_name=me&tarea=mail+example%2B1%0A&rws=3&cls=4", std::nullopt,
       "mail example+1\n", page_after("mail example+1\n", "NM=me RW=3 CL=4 CF=mail example+1\n")},
      {"nav=modify_file&file_name=me&tarea=%3C%2Ftextarea%3E%22%27", std::nullopt,
       "</textarea>\"'\n",
       page_after("&lt;/textarea&gt;&quot;&#39;\n",
                  "NM=me RW=20 CL=80 CF=&lt;/textarea&gt;&quot;&#39;")},
      // A typed "&" (sent as %26) is text of the file, not a separator.
      {"nav=modify_file&file_name=me&tarea=a%26b%26rws%3D3", std::nullopt, "a&b&rws=3\n",
       page_after("a&amp;b&amp;rws=3\n", "NM=me RW=20 CL=80 CF=a&amp;b&amp;rws=3")},
      {"nav=modify_file&tarea=x", "old\n", "old\n", "INIT E=: invalid input data\n"},
      {"nav=modify_file&file_name=me", "old\n", "old\n", "INIT E=: invalid input data\n"},
      {"nav=modify_file&file_name=me.bak&tarea=x", "old\n", "old\n",
       "INIT E=: invalid file name\n"},
      {"nav=modify_file&file_name=..%2Fme&tarea=x", "old\n", "old\n",
       "INIT E=: invalid file name\n"},
      {"nav=modify_file&file_name=a%2Fb&tarea=x", "old\n", "old\n",
       "INIT E=: invalid file name\n"},
  };
  for (const ModifyCase& c : cases) {
    ControlRequest r;
    if (c.before) write_file(r.control("me"), *c.before);
    RunResult result = r.post(c.query);
    EXPECT_EQ(result.out, kHeader + c.body) << c.query;
    EXPECT_EQ(result.status, 0) << c.query;
    if (c.after) {
      EXPECT_EQ(read_file(r.control("me")), *c.after) << c.query;
    } else {
      EXPECT_FALSE(file_exists(r.control("me"))) << c.query;
    }
    EXPECT_EQ(temporary_files(r), std::vector<std::string>{}) << c.query;
  }
}

TEST(ModifyFile, MessageListShowsTheNameEscapedAndSplitAtDollars) {
  const struct {
    std::string name_query;
    std::string name;
    std::string top;
  } cases[] = {
      {"a$b", "a$b", "TOP a<BR>b updated successfully<BR><BR>|a<BR>|\n"},
      {"%3Ci%3E", "<i>", "TOP &lt;i&gt; updated successfully<BR><BR>|&lt;i&gt; updated successfully<BR>|\n"},
      {"rcpthosts", "rcpthosts", "TOP rcpthosts updated successfully<BR><BR>|rcpthosts updated successfully<BR>|\n"},
  };
  for (const auto& c : cases) {
    ControlRequest r;
    r.page("qmail_controls_middle.html", "");
    RunResult result = r.post("nav=modify_file&file_name=" + c.name_query + "&tarea=v");
    EXPECT_EQ(result.out.substr(0, kHeader.size() + c.top.size()), kHeader + c.top) << c.name;
    EXPECT_EQ(read_file(r.control(c.name)), "v\n") << c.name;
  }
}

// The editor's whole path: display, the browser un-escapes the textarea and
// posts it back, the file comes out byte for byte the same, "&" and "="
// included.
TEST(ModifyFile, EditorRoundTripKeepsTheFile) {
  for (const std::string& text : {std::string("</textarea>\n<script>x</script>\n"),
                                  std::string("a&b=c &amp; &tarea=x\n"),
                                  std::string("a \"q\" 'x' +1 %41 <b>\n"),
                                  std::string("plain.example.com\n")}) {
    ControlRequest r;
    r.page("ctrl_file.html", "<textarea>$-CF</textarea>\n");
    write_file(r.control("smtpgreeting"), text);
    RunResult shown = r.get("nav=display_file&fname=smtpgreeting");
    const std::string open = "<textarea>", close = "</textarea>\n";
    ASSERT_EQ(shown.out.rfind(kHeader + open, 0), 0u) << text;
    ASSERT_GE(shown.out.size(), kHeader.size() + open.size() + close.size());
    std::string inside = shown.out.substr(kHeader.size() + open.size(),
                                          shown.out.size() - kHeader.size() - open.size() - close.size());
    EXPECT_EQ(inside.find('<'), std::string::npos) << text;
    RunResult saved = r.post("nav=modify_file&file_name=smtpgreeting&tarea=" +
                             url_encode(html_unescape(inside)));
    EXPECT_EQ(saved.status, 0);
    EXPECT_EQ(read_file(r.control("smtpgreeting")), text);
  }
}

TEST(ModifyFile, KeepsModeAndOwnerAndGivesNewFilesTheDefaultMode) {
  ControlRequest r;
  const bool can_chown = geteuid() == 0;
  // 06750: a change of owner clears the set-user and set-group bits.
  for (mode_t mode : {0640u, 06750u}) {
    write_file(r.control("me"), "old\n");
    if (can_chown) {
      ASSERT_EQ(chown(r.control("me").c_str(), 1234, 2345), 0);
    }
    ASSERT_EQ(chmod(r.control("me").c_str(), mode), 0);
    ASSERT_EQ(r.post("nav=modify_file&file_name=me&tarea=new").status, 0);
    struct stat st;
    ASSERT_EQ(stat(r.control("me").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    if (can_chown) {
      EXPECT_EQ(st.st_uid, 1234u);
      EXPECT_EQ(st.st_gid, 2345u);
    }
    EXPECT_EQ(read_file(r.control("me")), "new\n");
  }

  ASSERT_EQ(r.post("nav=modify_file&file_name=fresh&tarea=x").status, 0);
  struct stat st;
  ASSERT_EQ(stat(r.control("fresh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~current_umask());
}

TEST(ModifyFile, FailuresLeaveTheOldFileAndNoTemporaryFile) {
  {
    ControlRequest r;
    write_file(r.box().path("/target"), "target\n");
    fs::create_symlink(r.box().path("/target"), r.control("me"));
    EXPECT_EQ(r.post("nav=modify_file&file_name=me&tarea=x").out, kHeader + "INIT E=: not a file\n");
    EXPECT_EQ(read_file(r.box().path("/target")), "target\n");
    EXPECT_TRUE(fs::is_symlink(r.control("me")));
  }
  // What stands under the name is no plain file: it cannot be opened for
  // writing, and it is left as it is. (An empty name is the folder itself.)
  for (const std::string name : {"sub", "sock", ""}) {
    ControlRequest r;
    write_file(r.control("sub/keep"), "keep\n");
    make_socket(r.control("sock"));
    EXPECT_EQ(r.post("nav=modify_file&file_name=" + name + "&tarea=x").out,
              kHeader + "INIT E=: could not find " + name + "\n");
    EXPECT_EQ(read_file(r.control("sub/keep")), "keep\n");
    EXPECT_EQ(fs::status(r.control("sock")).type(), fs::file_type::socket);
    EXPECT_EQ(temporary_files(r), std::vector<std::string>{});
  }
  {
    // A write cut short (here by a file-size limit the program inherits)
    // is a failure, not a shorter control file.
    ControlRequest r;
    write_file(r.control("me"), "old\n");
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    RunResult result = r.post("nav=modify_file&file_name=me&tarea=" + std::string(300, 'x'));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, saved_handler);
    EXPECT_EQ(result.out, kHeader + "INIT E=: could not write me\n");
    EXPECT_EQ(read_file(r.control("me")), "old\n");
    EXPECT_EQ(temporary_files(r), std::vector<std::string>{});
  }
  {
    ControlRequest r;
    fs::remove_all(r.box().path("/var/qmail/control"));
    EXPECT_EQ(r.post("nav=modify_file&file_name=me&tarea=x").out,
              kHeader + "INIT E=: could not find me\n");
  }
}

TEST(DeleteFile, RemovesTheFileAndShowsTheList) {
  const struct {
    std::string query;
    bool me_remains;
    std::string body;
  } cases[] = {
      {"nav=delete_file&file_name=me", false, "TOP ||\n" + listing({}) + "BOTTOM NM= RW= CL= CF=\n"},
      {"nav=delete_file&file_name=nosuch", true,
       "TOP ||\n" + listing({{"me", "host\n"}}) + "BOTTOM NM= RW= CL= CF=\n"},
      {"nav=delete_file", true, "INIT E=: invalid input data\n"},
      {"nav=delete_file&fname=me", true, "INIT E=: invalid input data\n"},
      {"nav=delete_file&file_name=me.old", true, "INIT E=: invalid file name\n"},
      {"nav=delete_file&file_name=..%2Fcontrol%2Fme", true, "INIT E=: invalid file name\n"},
      {"nav=delete_file&file_name=a%2Fb", true, "INIT E=: invalid file name\n"},
      // A folder at the name cannot be removed: reported, never shown as done.
      {"nav=delete_file&file_name=sub", true, "INIT E=: could not delete sub\n"},
  };
  for (const auto& c : cases) {
    ControlRequest r;
    write_file(r.control("me"), "host\n");
    write_file(r.control("me.old"), "old\n");
    write_file(r.control("sub") + "/kept", "kept\n");
    RunResult result = r.post(c.query);
    EXPECT_EQ(result.out, kHeader + c.body) << c.query;
    EXPECT_EQ(result.status, 0) << c.query;
    EXPECT_EQ(file_exists(r.control("me")), c.me_remains) << c.query;
    EXPECT_TRUE(file_exists(r.control("me.old"))) << c.query;
    EXPECT_TRUE(file_exists(r.control("sub") + "/kept")) << c.query;
    // The log says what the page said: the request error, or nothing.
    const std::string said = c.body.starts_with("INIT E=") ? c.body.substr(7, c.body.size() - 8) : "-";
    std::vector<std::string> log =
        lines_of(read_file(r.box().path("/usr/local/tessera/etc/larkspur.log")));
    ASSERT_FALSE(log.empty()) << c.query;
    EXPECT_TRUE(log.back().ends_with("\t" + said)) << log.back();
  }
}

// A control file's path, "/var/qmail/control/" (19 characters) and the
// name, holds 253 characters for showing and writing and 254 for deleting;
// a name that would not fit is refused rather than cut to another file.
TEST(ControlFileNames, LongestNamesFitTheirPathField) {
  const struct {
    const char* request;  // the name follows
    size_t length;
    std::optional<std::string> after;  // the file after the request
    std::string body_start;            // "" when the name is refused
  } cases[] = {
      {"nav=display_file&fname=", 234, "old\n", "NM="},
      {"nav=display_file&fname=", 235, "old\n", ""},
      {"nav=modify_file&tarea=new&file_name=", 234, "new\n", "TOP "},
      {"nav=modify_file&tarea=new&file_name=", 235, "old\n", ""},
      {"nav=delete_file&file_name=", 235, std::nullopt, "TOP "},
      {"nav=delete_file&file_name=", 236, "old\n", ""},
  };
  for (const auto& c : cases) {
    ControlRequest r;
    const std::string name(c.length, 'n');
    write_file(r.control(name), "old\n");
    RunResult result = r.post(c.request + name);
    const std::string what = c.request + std::to_string(c.length);
    if (c.body_start.empty()) {
      EXPECT_EQ(result.out, kHeader + "INIT E=: invalid file name\n") << what;
    } else {
      EXPECT_EQ(result.out.rfind(kHeader + c.body_start, 0), 0u) << what;
      EXPECT_EQ(result.out.find("invalid"), std::string::npos) << what;
    }
    EXPECT_EQ(result.status, 0) << what;
    if (c.after) {
      EXPECT_EQ(read_file(r.control(name)), *c.after) << what;
    } else {
      EXPECT_FALSE(file_exists(r.control(name))) << what;
    }
  }
}

TEST(DeleteFile, RemovesALinkButNotItsTarget) {
  ControlRequest r;
  write_file(r.box().path("/target"), "target\n");
  fs::create_symlink(r.box().path("/target"), r.control("helohost"));
  EXPECT_EQ(r.post("nav=delete_file&file_name=helohost").status, 0);
  EXPECT_FALSE(file_exists(r.control("helohost")));
  EXPECT_EQ(read_file(r.box().path("/target")), "target\n");
}

// The production program reads only the real /var/qmail, whatever the
// environment says; it never looks at LARKSPUR_ROOT.
TEST(ProductionProgram, HonoursNoRootOverride) {
  ControlRequest r;
  write_file(r.control("me"), "sandbox-marker\n");
  RunResult result = r.get("nav=show_controls", "larkspur.cgi");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind(kHeader + "TOP ||\n", 0), 0u);
  EXPECT_EQ(result.out.find("sandbox-marker"), std::string::npos);
}

// An exclusive record lock on the whole file, as the store's writers take.
bool write_lock(int fd) {
  struct flock region {};
  region.l_type = F_WRLCK;
  region.l_whence = SEEK_SET;
  return fd >= 0 && fcntl(fd, F_SETLK, &region) == 0;
}

// A FIFO in the control folder is no file: the list shows "default" for
// it and the editor cannot open it, and neither request waits on it.
TEST(ControlFiles, FifoIsNoFileAndHoldsNoRequest) {
  ControlRequest r;
  ASSERT_EQ(mkfifo(r.control("me").c_str(), 0600), 0);
  RunResult listed = r.get_within("nav=show_controls", "20");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out, kHeader + "TOP ||\n" + listing({}) + "BOTTOM NM= RW= CL= CF=\n");
  RunResult shown = r.get_within("nav=display_file&fname=me", "20");
  EXPECT_EQ(shown.out, kHeader + "INIT E=could not open me\n");
}

// A text longer than the request limit arrives cut: saving it would lose
// the rest of the file, so nothing is written.
TEST(ModifyFile, TextCutByTheRequestLimitIsNotSaved) {
  ControlRequest r;
  std::string text;
  for (int i = 0; text.size() < 12000; ++i) text += "host" + std::to_string(i) + ".example.com\n";
  text.resize(12000);
  text.back() = '\n';
  write_file(r.control("smtproutes"), text);
  RunResult shown = r.get("nav=display_file&fname=smtproutes");
  ASSERT_EQ(shown.out, kHeader + "NM=smtproutes RW=20 CL=80 CF=" + text + "\n");
  RunResult saved = r.post("nav=modify_file&file_name=smtproutes&tarea=" + url_encode(text));
  EXPECT_EQ(saved.out, kHeader + "INIT E=: request too large, smtproutes not saved\n");
  EXPECT_EQ(read_file(r.control("smtproutes")), text);
  EXPECT_EQ(temporary_files(r), std::vector<std::string>{});
}

// The editor takes the lock of the store's own writers: while a writer
// holds it, the edit waits and then lands on top of the writer's change,
// instead of being overwritten by the writer's copy.
TEST(ModifyFile, EditWaitsForTheStoresLockOnItsTables) {
  for (const char* table : {"rcpthosts", "morercpthosts", "virtualdomains", "locals"}) {
    ControlRequest r;
    write_file(r.control(table), "old.example\n");
    const int writer = open((r.control(table) + ".lock").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(write_lock(writer));
    std::future<RunResult> edit = std::async(std::launch::async, [&] {
      return r.post("nav=modify_file&file_name=" + std::string(table) +
                    "&tarea=old.example%0Awriter.example%0Aedited.example%0A");
    });
    // An editor that took no lock is done by now, and the writer's copy
    // below would replace its text.
    edit.wait_for(std::chrono::milliseconds(1500));
    write_file(r.control(table) + ".tmp", "old.example\nwriter.example\n");
    rename((r.control(table) + ".tmp").c_str(), r.control(table).c_str());
    close(writer);
    EXPECT_EQ(edit.get().status, 0) << table;
    EXPECT_EQ(read_file(r.control(table)), "old.example\nwriter.example\nedited.example\n")
        << table;
  }
}

// An edit of rcpthosts racing eight domain creations: every domain's line
// survives, and so does the edit.
TEST(ModifyFile, EditRacingDomainCreationsLosesNoLine) {
  ControlRequest r;
  std::string tarea;
  std::vector<std::string> jobs;
  const std::string tool = build_output("tessera") + " --root " + r.box().root();
  for (int n = 0; n < 8; ++n) {
    const std::string name = "d" + std::to_string(n) + ".example";
    tarea += name + "%0A";
    jobs.push_back(tool + " domain add " + name + " >/dev/null || echo FAILED " + name);
  }
  tarea += "edited.example%0A";
  const std::string body = "nav=modify_file&file_name=rcpthosts&tarea=" + tarea;
  write_file(r.box().root() + "/body", body);
  std::string edits;
  for (int i = 0; i < 4; ++i) edits += r.post_line(r.box().root() + "/body", body.size()) + "; ";
  jobs.push_back(edits);
  RunResult raced = run_at_once(jobs);
  EXPECT_EQ(raced.out, "");
  std::vector<std::string> hosts = lines_of(read_file(r.control("rcpthosts")));
  for (int n = 0; n < 8; ++n) {
    const std::string name = "d" + std::to_string(n) + ".example";
    EXPECT_NE(std::find(hosts.begin(), hosts.end(), name), hosts.end()) << name;
  }
  EXPECT_NE(std::find(hosts.begin(), hosts.end(), "edited.example"), hosts.end());
}

}  // namespace

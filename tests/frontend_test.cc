// The CGI front end seen from the web server: environment and body in,
// header and page out, exit status. Every case runs the sandbox program in
// a fresh sandbox with small fixture templates, so the pages compared here
// are exactly what the template engine makes of them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/testlib/testlib.h"

namespace {

const std::string kHeader = "Content-type: text/html\n\n";
const std::string kVersionLines =
    "<a href=https://larkspur-mail.org/>larkspur</a> 1.0<BR>\n"
    "<a href=https://larkspur-mail.org/tessera/>tessera</a> 1.0<BR>\n";
const std::string kFatalPage =
    "<HTML><HEAD><TITLE>Fatal Error</TITLE><link href=\"/images/larkspur/larkspur.css\" "
    "rel=\"stylesheet\" rev=\"stylesheet\" type=\"text/css\" media=\"all\"></HEAD><BODY>\n"
    "<CENTER>Fatal Error</CENTER>\n<PRE>\nAn unrecoverable, fatal error has occured.  Please "
    "e-mail\nthe webmaster immediately and report this error, as it will\ncontinue to "
    "occur.\n</PRE></BODY></HTML>";

// One request against its own sandbox. The defaults make a valid GET by
// alice, who is listed in the access list.
class Request {
 public:
  Request() {
    env_ = {{"REMOTE_USER", "alice"}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", ""},
            {"LARKSPUR_ROOT", box_.root()}};
    page("main.html", "MAIN E=%-E U=%-U G=%-G\n");
    page("init_error.html", "INIT E=%-E\n");
    page("error.html", "ERROR E=%-E\n");
    page("auth_failed.html", "AUTH E=%-E U=%-U\n");
    page("ctrl_file.html", "NM=$-NM RW=$-RW CL=$-CL CF=$-CF\n");
    acl("admins * alice\n");
  }
  Request& set(const std::string& name, const std::string& value) {
    env_[name] = value;
    return *this;
  }
  Request& unset(const std::string& name) {
    env_.erase(name);
    return *this;
  }
  Request& query(const std::string& text) { return set("QUERY_STRING", text); }
  void page(const std::string& name, const std::string& text) {
    write_file(box_.www() + "/html/" + name, text);
  }
  void acl(const std::string& text) { write_file(box_.www() + "/larkspur.acl", text); }
  std::string html(const std::string& name) const { return box_.www() + "/html/" + name; }
  const Sandbox& box() const { return box_; }

  RunResult run(const std::string& input = "",
                const std::string& program = "larkspur-sandbox.cgi") const {
    RunOptions options;
    options.argv = {build_output(program)};
    for (const auto& [name, value] : env_) options.env.push_back(name + "=" + value);
    options.input = input;
    options.workdir = box_.www();
    return run_program(options);
  }

 private:
  Sandbox box_;
  std::map<std::string, std::string> env_;
};


struct EnvCase {
  const char* what;
  std::map<std::string, std::string> set;
  std::vector<std::string> unset;
  std::string input;
  std::string body;
};

void run_env_cases(const std::vector<EnvCase>& cases, const std::string& acl = "admins * alice\n",
                   const std::string& path_info = "") {
  for (const EnvCase& c : cases) {
    Request r;
    r.acl(acl);
    if (acl.empty()) std::filesystem::remove(r.box().www() + "/larkspur.acl");
    r.page("help.html", "HELP\n");
    if (!path_info.empty()) r.set("PATH_INFO", path_info);
    for (const auto& [name, value] : c.set) r.set(name, value);
    for (const std::string& name : c.unset) r.unset(name);
    RunResult result = r.run(c.input);
    EXPECT_EQ(result.out, cgi_response(c.body)) << c.what;
    EXPECT_EQ(result.status, 0) << c.what;
  }
}

TEST(FormInput, EveryFailureHasItsTextAndPage) {
  run_env_cases({
      {"no REMOTE_USER", {}, {"REMOTE_USER"}, "", "AUTH E=Username unknown U=\n"},
      {"no REQUEST_METHOD", {}, {"REQUEST_METHOD"}, "", "Status: 400 Bad Request\nINIT E=Unknown request method\n"},
      {"HEAD", {{"REQUEST_METHOD", "HEAD"}}, {}, "", "Status: 400 Bad Request\nINIT E=Unsupported request method\n"},
      {"empty method", {{"REQUEST_METHOD", ""}}, {}, "", "Status: 400 Bad Request\nINIT E=Unsupported request method\n"},
      {"GET without query", {}, {"QUERY_STRING"}, "", "Status: 400 Bad Request\nINIT E=No Query String\n"},
      {"POST without length", {{"REQUEST_METHOD", "POST"}}, {}, "", "Status: 400 Bad Request\nINIT E=Unknown content\n"},
      {"length 0", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}}, {}, "a=1",
       "Status: 400 Bad Request\nINIT E=Invalid content length\n"},
      {"length -5", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "-5"}}, {}, "a=1",
       "Status: 400 Bad Request\nINIT E=Invalid content length\n"},
      {"length text", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "abc"}}, {}, "a=1",
       "Status: 400 Bad Request\nINIT E=Invalid content length\n"},
      {"short body", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}}, {}, "a=1",
       "Status: 400 Bad Request\nINIT E=Invalid content length\n"},
      {"get in lower case", {{"REQUEST_METHOD", "get"}}, {}, "", "MAIN E= U=alice G=admins\n"},
      {"Post in mixed case", {{"REQUEST_METHOD", "Post"}, {"CONTENT_LENGTH", "3"}}, {}, "a=1",
       "MAIN E= U=alice G=admins\n"},
      {"empty REMOTE_USER", {{"REMOTE_USER", ""}}, {}, "", "MAIN E= U= G=default\n"},
      {"POST ignores the query string",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}, {"QUERY_STRING", "nav=display_file"}},
       {},
       "a=1",
       "MAIN E= U=alice G=admins\n"},
  });
}

TEST(RequestOrder, EachStepRunsBeforeTheNext) {
  run_env_cases({
      {"language before user", {{"HTTP_ACCEPT_LANGUAGE", "x.y"}}, {"REMOTE_USER"}, "",
       "Status: 400 Bad Request\nINIT E=invalid language file\n"},
  });
  // Without an access list: the user is checked first, the method after.
  run_env_cases(
      {
          {"user before access list", {}, {"REMOTE_USER"}, "", "AUTH E=Username unknown U=\n"},
          {"access list before method", {{"REQUEST_METHOD", "HEAD"}}, {}, "",
           "Status: 500 Internal Server Error\nINIT E=Unable to read access lists\n"},
          {"access list before input", {}, {"QUERY_STRING"}, "",
           "Status: 500 Internal Server Error\nINIT E=Unable to read access lists\n"},
      },
      "");
  // A fixed page is served only to a request that passes every check.
  run_env_cases(
      {
          {"fixed page needs a user", {}, {"REMOTE_USER"}, "", "AUTH E=Username unknown U=\n"},
          {"fixed page needs a method", {{"REQUEST_METHOD", "HEAD"}}, {}, "",
           "Status: 400 Bad Request\nINIT E=Unsupported request method\n"},
          {"fixed page needs input", {}, {"QUERY_STRING"}, "", "Status: 400 Bad Request\nINIT E=No Query String\n"},
          {"fixed page ignores nav", {{"QUERY_STRING", "nav=display_file&fname=me"}}, {}, "",
           "HELP\n"},
      },
      "admins * alice\n", "/show/help.html");
  run_env_cases({{"fixed page needs the access list", {}, {}, "",
                  "Status: 500 Internal Server Error\nINIT E=Unable to read access lists\n"}},
                "", "/show/help.html");
}

// display_file echoes the fields it reads into the editor page, which makes
// the decoded form variables visible: NM from fname, RW from rows, CL from
// cols. The file "me" does not exist, so CF stays empty.
TEST(FormInput, QueryStringIsSplitThenDecoded) {
  const struct {
    std::string query;
    std::string body;
  } cases[] = {
      {"nav=display_file&fname=me", "NM=me RW=20 CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=%41%42", "NM=me RW=AB CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=%4a&cols=5", "NM=me RW= CL=80 CF=\n"},
      {"nav=display_file&fname=me&cols=5&rows=%4", "NM=me RW=%4 CL=5 CF=\n"},
      {"nav=display_file&fname=me&rows=1+2", "NM=me RW=1 2 CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=%26cols=7", "NM=me RW=&amp;cols=7 CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=x=y", "NM=me RW=x=y CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=1&rows=2", "NM=me RW=1 CL=80 CF=\n"},
      {"nav=display_file&fname=me&zz&rows=5", "NM=me RW=20 CL=80 CF=\n"},
      {"nav=display_file&fname=me&cols=3&", "NM=me RW=20 CL=3 CF=\n"},
      {"nav=display_file&fname=me&rows=%2541", "NM=me RW=%41 CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows", "NM=me RW=20 CL=80 CF=\n"},
      {"=v&nav=display_file&fname=me", "NM=me RW=20 CL=80 CF=\n"},
      {"nav=%64isplay_file&fname=%6De", "NM=me RW=20 CL=80 CF=\n"},
      {"nav=display_file&fname=me&rows=%3Cb%3E%22%27", "NM=me RW=&lt;b&gt;&quot;&#39; CL=80 CF=\n"},
      {"nav=DISPLAY_FILE&fname=me", "NM=me RW=20 CL=80 CF=\n"},
      {"nav=Display_File&fname=me", "NM=me RW=20 CL=80 CF=\n"},
      {"NAV=display_file&fname=me", "MAIN E= U=alice G=admins\n"},
      {"nav=bogus&nav=display_file&fname=me", "MAIN E= U=alice G=admins\n"},
      {"nav=&fname=me", "MAIN E= U=alice G=admins\n"},
      {"nav=display%5ffile&fname=me", "MAIN E= U=alice G=admins\n"},
      {"nav=display_file%4", "MAIN E= U=alice G=admins\n"},
      {"", "MAIN E= U=alice G=admins\n"},
  };
  for (const auto& c : cases) {
    Request r;
    r.query(c.query);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body)) << c.query;
    EXPECT_EQ(result.status, 0) << c.query;
  }
}

TEST(Dispatch, UnknownCommandsShowTheMainPage) {
  for (const char* nav : {"no_such_page", "add_domainx", "", "list"}) {
    Request r;
    r.query(std::string("nav=") + nav);
    RunResult result = r.run();
    EXPECT_EQ(result.out, kHeader + "MAIN E= U=alice G=admins\n") << nav;
    EXPECT_EQ(result.status, 0) << nav;
  }
}

TEST(FormInput, PostBodyIsReadUpToTheClampedLength) {
  const std::string prefix = "nav=display_file&fname=me&cols=";
  const struct {
    std::string length;
    size_t body_size;  // bytes sent
    size_t value_size;  // bytes of the cols value that arrive
  } cases[] = {
      {"10000", 10000, 10000 - prefix.size()},
      {"10001", 10001, 9999 - prefix.size()},
      {"99999", 12000, 9999 - prefix.size()},
      {std::to_string(prefix.size() + 3), prefix.size() + 8, 3},
  };
  for (const auto& c : cases) {
    Request r;
    r.set("REQUEST_METHOD", "POST").set("CONTENT_LENGTH", c.length);
    std::string body = prefix + std::string(c.body_size - prefix.size(), 'x');
    RunResult result = r.run(body);
    EXPECT_EQ(result.out, kHeader + "NM=me RW=20 CL=" + std::string(c.value_size, 'x') + " CF=\n")
        << c.length;
  }
}

// Web servers pass a body on as it comes, in several writes (one web
// server writes 8 KiB blocks): the body is whole once CONTENT_LENGTH bytes
// have come, however many reads that takes.
TEST(FormInput, PostBodyArrivingInTwoPiecesIsReadWhole) {
  const std::string first = "nav=display_file&fname=me&cols=" + std::string(8192 - 31, 'x');
  const std::string second = std::string(100, 'y');
  Request r;
  RunOptions options;
  options.argv = {"/bin/sh", "-c",
                  "{ printf %s \"$FIRST\"; sleep 0.3; printf %s \"$SECOND\"; } | '" +
                      build_output("larkspur-sandbox.cgi") + "'"};
  options.env = {"REMOTE_USER=alice", "REQUEST_METHOD=POST", "LARKSPUR_ROOT=" + r.box().root(),
                 "CONTENT_LENGTH=" + std::to_string(first.size() + second.size()),
                 "FIRST=" + first, "SECOND=" + second};
  options.workdir = r.box().www();
  RunResult result = run_program(options);
  EXPECT_EQ(result.out, kHeader + "NM=me RW=20 CL=" + first.substr(31) + second + " CF=\n");
}

struct TemplateCase {
  std::string main;
  std::string body;
};

TEST(Templates, TokensAreReplacedAndOtherBytesPrinted) {
  const std::string long_run(497, 'x');
  const TemplateCase cases[] = {
      {"a$-ZZb\n", "ab\n"},
      {"$x %x #x $ % #\n", "$x %x #x $ % #\n"},
      {"%-Zq\n", "q\n"},
      {"%-\n", ""},
      {"x$-D\ny\n", "xy\n"},
      {"line1\nlast", "line1\n"},
      {"only", ""},
      {"", ""},
      {"#-001 #-999|#-00\n", "hello |"},
      {"[%-U][%-G][%-E]\n", "[alice][admins][]\n"},
      {"%-V", ""},
      {"%-V\n", kVersionLines + "\n"},
      {"%-W|\n", "|\n"},
      // Pieces hold 499 bytes. A token whose key runs over a piece's end
      // takes the terminator as its key and prints nothing; the rest of the
      // line is the next piece. One whose "-" falls into the next piece is
      // no token at all.
      {long_run + "%-U\n", long_run + "U\n"},
      {long_run + "$-a0\n", long_run + "a0\n"},
      {std::string(496, 'x') + "#-001\n", std::string(496, 'x') + "01\n"},
      {std::string(498, 'x') + "#-001\n", std::string(498, 'x') + "#-001\n"},
      {std::string(600, 'y') + "\n", std::string(600, 'y') + "\n"},
      {"a\r\nb\n", "a\r\nb\n"},
  };
  for (const TemplateCase& c : cases) {
    Request r;
    r.page("en", "001 hello\n");
    r.page("main.html", c.main);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body)) << c.main;
    EXPECT_EQ(result.status, 0) << c.main;
  }
}

TEST(Templates, UntrustedTextsAreEscaped) {
  Request r;
  r.acl("<g&'> * <a&\"b>\n");
  r.set("REMOTE_USER", "<a&\"b>");
  RunResult result = r.run();
  EXPECT_EQ(result.out, kHeader + "MAIN E= U=&lt;a&amp;&quot;b&gt; G=&lt;g&amp;&#39;&gt;\n");
}

TEST(Templates, BrokenInstallationsEndWithTheirStatus) {
  {
    Request r;
    std::filesystem::remove(r.html("main.html"));
    RunResult result = r.run();
    EXPECT_EQ(result.out, kHeader);
    EXPECT_EQ(result.status, 255);
  }
  {
    Request r;
    std::filesystem::remove(r.html("init_error.html"));
    r.set("REQUEST_METHOD", "HEAD");
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response("Status: 400 Bad Request\n"));
    EXPECT_EQ(result.status, 255);
  }
  {
    Request r;
    std::filesystem::rename(r.html("main.html"), r.html("real.html"));
    std::filesystem::create_symlink("real.html", r.html("main.html"));
    RunResult result = r.run();
    EXPECT_EQ(result.out, kHeader);
    EXPECT_EQ(result.status, 255);
  }
  {
    Request r;
    std::filesystem::remove(r.html("main.html"));
    make_socket(r.html("main.html"));
    RunResult result = r.run();
    EXPECT_EQ(result.out, kHeader + "Dag Nabit\n" + kFatalPage);
    EXPECT_EQ(result.status, 1);
  }
}

TEST(FixedPages, ShowNamesAPageUnderHtml) {
  const struct {
    std::string path_info;
    std::string body;
    int status;
  } cases[] = {
      {"/show/help.html", "HELP alice hello\n", 0},
      {"/show/help", "PLAIN\n", 0},
      {"/show/../x", "Status: 400 Bad Request\nINIT E=invalid file\n", 0},
      {"/show/a/b", "Status: 400 Bad Request\nINIT E=invalid file\n", 0},
      {"/show/a..b", "Status: 400 Bad Request\nINIT E=invalid file\n", 0},
      {"/show/..", "Status: 400 Bad Request\nINIT E=invalid file\n", 0},
      {"/shows/help.html", "MAIN E= U=alice G=admins\n", 0},
      {"/SHOW/help.html", "MAIN E= U=alice G=admins\n", 0},
      {"/show", "MAIN E= U=alice G=admins\n", 0},
      {"", "MAIN E= U=alice G=admins\n", 0},
      {"/show/missing.html", "", 255},
      {"/show/link.html", "", 255},
      {"/show/", "", 0},
      // The path "html/" + name holds 253 characters: the rest is cut.
      {"/show/" + std::string(260, 'p'), "LONG\n", 0},
  };
  for (const auto& c : cases) {
    Request r;
    r.page("en", "001 hello\n");
    r.page("help.html", "HELP %-U #-001\n");
    r.page("help", "PLAIN\n");
    r.page(std::string(248, 'p'), "LONG\n");
    std::filesystem::create_symlink("help.html", r.html("link.html"));
    r.set("PATH_INFO", c.path_info);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body)) << c.path_info;
    EXPECT_EQ(result.status, c.status) << c.path_info;
  }
}

TEST(Language, AcceptLanguageChoosesTheFile) {
  const std::string de_at_198 = std::string(197, ' ') + "de";
  const std::string de_at_199 = std::string(198, ' ') + "de";
  const std::string long_word(196, 'l');
  const struct {
    const char* header;  // nullptr: no header
    std::vector<std::string> files;
    std::string body;
  } cases[] = {
      {nullptr, {"en", "de"}, "[English]\n"},
      {"de, en", {"en", "de"}, "[Deutsch]\n"},
      {"de, en", {"en"}, "[English]\n"},
      {"fr,de", {"en", "de"}, "[Deutsch]\n"},
      {"", {"en", "de"}, "[English]\n"},
      {" , ,", {"en", "de"}, "[English]\n"},
      {"en-US,en;q=0.9", {"en", "en-US"}, "[American]\n"},
      {"en-US,en;q=0.9", {"en"}, "Status: 400 Bad Request\nINIT E=invalid language file\n"},
      {"de,x/y", {"en", "de"}, "[Deutsch]\n"},
      {"x/y,de", {"en", "de"}, "Status: 400 Bad Request\nINIT E=invalid language file\n"},
      {"link", {"en", "de", "link"}, "Status: 400 Bad Request\nINIT E=invalid file\n"},
      {"images,de", {"en", "de"}, "[Deutsch]\n"},
      {"fr", {}, "[]\n"},
      {nullptr, {}, "[]\n"},
      // The header is read up to 199 characters, the path up to 198.
      {de_at_198.c_str(), {"en", "de"}, "[Deutsch]\n"},
      {de_at_199.c_str(), {"en", "de"}, "[English]\n"},
      {long_word.c_str(), {"en", std::string(193, 'l')}, "[Long]\n"},
  };
  for (const auto& c : cases) {
    Request r;
    r.page("main.html", "[#-001]\n");
    std::filesystem::create_directories(r.html("images"));
    r.page("images/x", "001 Folder\n");
    for (const std::string& file : c.files) {
      if (file == "link") {
        std::filesystem::create_symlink("de", r.html("link"));
      } else {
        const char* text = file == "en"   ? "English"
                           : file == "de" ? "Deutsch"
                           : file == "en-US" ? "American"
                                             : "Long";
        r.page(file, std::string("001 ") + text + "\n");
      }
    }
    if (c.header != nullptr) r.set("HTTP_ACCEPT_LANGUAGE", c.header);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body)) << (c.header ? c.header : "(none)");
    EXPECT_EQ(result.status, 0);
  }
}

TEST(Language, LineKeyAndTextRules) {
  const struct {
    std::string file;
    std::string body;
  } cases[] = {
      {"001 text\n", "[text]"},
      {"001  two blanks\n", "[ two blanks]"},
      {"   001 indented\n", "[indented]"},
      {"001 \n001 second\n", "[second]"},
      {"001\n001 after\n", "[after]"},
      {"0011 long\n001 short\n", "[short]"},
      {"   \n001 x\n", "[x]"},
      {"002 other\n", "[]"},
      {"001 tail", "[tail]"},
      {"001 first\n001 second\n", "[first]"},
      {"001 <b>markup</b>\n", "[<b>markup</b>]"},
  };
  for (const auto& c : cases) {
    Request r;
    r.page("main.html", "[#-001]\n");
    r.page("en", c.file);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body + "\n")) << c.file;
  }
}

TEST(AccessList, EntryAndSyntaxRules) {
  const std::string z71(71, 'z');
  const struct {
    std::string acl;
    std::string user;
    std::string body;
  } cases[] = {
      {"admins * alice,bob\ndefault VI x\n", "alice", "G=admins"},
      {"admins * alice,bob\ndefault VI x\n", "bob", "G=admins"},
      {"admins * alice,bob\ndefault VI x\n", "carol", "G=default"},
      {"admins * alice,bob\n", "Alice", "G=default"},
      {"all * *\n", "carol", "G=default"},
      {"DEFAULT * alice\n", "alice", "G=DEFAULT"},
      {"# comment\n\r\n\nops CD alice\r\n", "alice", "G=ops"},
      {"ops CD alice", "alice", "G=default"},
      {"bad line\nops CD alice\n", "alice", "Status: 500 Internal Server Error\nINIT E=Syntax erorr in access lists"},
      {"a * b c\nops CD alice\n", "alice", "Status: 500 Internal Server Error\nINIT E=Syntax erorr in access lists"},
      {"nospace\n", "alice", "Status: 500 Internal Server Error\nINIT E=Syntax erorr in access lists"},
      {"ops CD alice\nbad line\n", "alice", "G=ops"},
      {"ops  alice\n", "alice", "G=ops"},
      {"first * " + z71 + "second * alice\n", "alice", "G=second"},
      {"grp * " + std::string(67, 'y') + ",alice\n", "alice", "G=grp"},
      {"grp * " + std::string(68, 'y') + ",alice\n", "alice", "Status: 500 Internal Server Error\nINIT E=Syntax erorr in access lists"},
      {"", "alice", "G=default"},
  };
  for (const auto& c : cases) {
    Request r;
    r.page("main.html", "G=%-G\n");
    r.acl(c.acl);
    r.set("REMOTE_USER", c.user);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body + "\n")) << c.acl << " / " << c.user;
    EXPECT_EQ(result.status, 0);
  }
}

// larkspur.scope: who is a domain administrator (their pages hide the
// control files through SC), and a malformed line anywhere, named by its
// number, stops every request as a bad access list does.
TEST(ScopeFile, NamesDomainAdministratorsAndRefusesMalformedLines) {
  const std::string kBad = "Status: 500 Internal Server Error\nINIT E=Syntax error in larkspur.scope, line ";
  const struct {
    std::string scope;  // "(none)": no file
    std::string body;
  } cases[] = {
      {"(none)", "SC=[]"},
      {"", "SC=[]"},
      {"bob a.example\n", "SC=[]"},
      {"Alice a.example\n", "SC=[]"},
      {"alice a.example\n", "SC=[ hidden]"},
      {"# customers\n \t\n\r\n  # x\n\talice\ta.example,B.example  \r\n", "SC=[ hidden]"},
      {"alice a.example", "SC=[ hidden]"},
      {"alice\n", kBad + "1"},
      {"alice \n", kBad + "1"},
      {"# x\nbob a.example\nalice a.example b.example\n", kBad + "3"},
      {"alice a.example,,b.example\n", kBad + "1"},
      {"alice a.example,\n", kBad + "1"},
      {"alice ,a.example\n", kBad + "1"},
      {"alice a_b.example\n", kBad + "1"},
      {"alice a.example\nbob x:y\n", kBad + "2"},
  };
  for (const auto& c : cases) {
    Request r;
    r.page("main.html", "SC=[$-SC]\n");
    if (c.scope != "(none)") write_file(r.box().www() + "/larkspur.scope", c.scope);
    RunResult result = r.run();
    EXPECT_EQ(result.out, cgi_response(c.body + "\n")) << c.scope;
    EXPECT_EQ(result.status, 0);
  }
  // A file that is there but cannot be read never leaves its names unscoped.
  Request r;
  std::filesystem::create_directory(r.box().www() + "/larkspur.scope");
  EXPECT_EQ(r.run().out, cgi_response("Status: 500 Internal Server Error\n"
                                      "INIT E=Unable to read larkspur.scope\n"));
}

TEST(SandboxProgram, RefusesToRunWithoutAUsableRoot) {
  Request r;
  write_file(r.box().root() + "/plain", "x");
  for (const char* root : {"(unset)", "", "relative/dir", "/no/such/dir/anywhere", "plain"}) {
    std::string value = root;
    if (value == "(unset)") {
      r.unset("LARKSPUR_ROOT");
    } else if (value == "plain") {
      r.set("LARKSPUR_ROOT", r.box().root() + "/plain");
    } else {
      r.set("LARKSPUR_ROOT", value);
    }
    RunResult result = r.run();
    EXPECT_EQ(result.status, 2) << root;
    EXPECT_EQ(result.out, "") << root;
    ASSERT_FALSE(result.err.empty()) << root;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << root;
  }
}

}  // namespace

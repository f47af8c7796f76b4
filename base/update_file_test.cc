#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "base/locked_file.h"
#include "tests/testlib/testlib.h"

namespace {



const std::string kA = "+a.org-:a.org:89:89:/t/domains/a.org:-::";
const std::string kB = "+b.org-:b.org:89:89:/t/domains/b.org:-::";
const std::string kC = "+c.org-:c.org:89:89:/t/domains/c.org:-::";
const std::string kMailB = "+mail.b.org-:b.org:89:89:/t/domains/b.org:-::";
const std::string kNotice = "NOTICE: Out of order entries found in %s\n   Sorting...\n\n";

struct InsertCase {
  const char* name;
  int kind;
  std::optional<std::string> before;  // none: the file does not exist
  std::string line;
  std::string after;
  bool sorted_again;  // the notice and a full sort
};

TEST(UpdateFile, InsertsEachLineAtItsSortedPlace) {
  const InsertCase cases[] = {
      {"assign entry between its neighbours, dot stays last", kAssignKind, kA + "\n" + kC + "\n.\n",
       kB, kA + "\n" + kB + "\n" + kC + "\n.\n", false},
      {"dot in the middle disappears, one dot ends the file", kAssignKind,
       kA + "\n.\n" + kC + "\n.\n", kB, kA + "\n" + kB + "\n" + kC + "\n.\n", false},
      {"assign file without its dot gains one", kAssignKind, kA + "\n", kB,
       kA + "\n" + kB + "\n.\n", false},
      {"sub-domain right after its parent", kAssignKind, kA + "\n" + kB + "\n" + kC + "\n.\n",
       kMailB, kA + "\n" + kB + "\n" + kMailB + "\n" + kC + "\n.\n", false},
      {"missing assign file", kAssignKind, std::nullopt, kB, kB + "\n.\n", false},
      {"empty assign file", kAssignKind, "", kB, kB + "\n.\n", false},
      {"missing list", kHostListKind, std::nullopt, "b.org", "b.org\n", false},
      {"first place", kHostListKind, "b.org\nc.org\n", "a.org", "a.org\nb.org\nc.org\n", false},
      {"last place", kHostListKind, "a.org\nb.org\n", "c.org", "a.org\nb.org\nc.org\n", false},
      {"equal key goes after the existing line", kVirtualDomainsKind,
       "a.org:first\nb.org:old\nc.org:x\n", "b.org:new",
       "a.org:first\nb.org:old\nb.org:new\nc.org:x\n", false},
      {"equal key after every equal line", kVirtualDomainsKind, "b.org:1\nb.org:2\n", "b.org:3",
       "b.org:1\nb.org:2\nb.org:3\n", false},
      {"no duplicate check", kHostListKind, "b.org\n", "b.org", "b.org\nb.org\n", false},
      {"last line without its newline gains one", kHostListKind, "a.org\nc.org", "b.org",
       "a.org\nb.org\nc.org\n", false},
      {"empty lines are kept and sort first", kHostListKind, "\na.org\n", "b.org",
       "\na.org\nb.org\n", false},
      {"dot is an ordinary line in a plain list", kHostListKind, ".\nb.org\n", "a.org",
       ".\na.org\nb.org\n", false},
      {"out of order list is inserted into, then sorted", kHostListKind, "c.org\na.org\n", "b.org",
       "a.org\nb.org\nc.org\n", true},
      {"out of order assign file is sorted, dot last", kAssignKind, kC + "\n" + kA + "\n.\n", kB,
       kA + "\n" + kB + "\n" + kC + "\n.\n", true},
  };
  for (const InsertCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/list";
    if (c.before) write_file(path, *c.before);
    testing::internal::CaptureStderr();
    EXPECT_EQ(update_file(path, c.line, c.kind), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(path), c.after);
    std::string notice =
        c.sorted_again ? std::string(kNotice).replace(kNotice.find("%s"), 2, path) : "";
    EXPECT_EQ(err, notice);
    EXPECT_EQ(names_in(box.root()),
              (std::set<std::string>{"list", "list.lock", "usr", "var", "www"}));
  }
}

TEST(UpdateFile, RepeatedInsertsKeepAListInKeyOrder) {
  Sandbox box;
  std::string path = box.root() + "/assign";
  const char* names[] = {"zeta.net",  "mail.example.com", "example.com", "b.example.com",
                         "alpha.org", "www.zeta.net",     "example.net", "a.b.example.com"};
  for (const char* name : names) {
    ASSERT_EQ(
        update_file(path, "+" + std::string(name) + "-:" + name + ":89:89:/d:-::", kAssignKind), 0);
  }
  std::string expected;
  // Keys compare by domain, then by the labels before it: alpha.org sorts
  // before example.com, and a.b.example.com (example.com.a.b) before
  // b.example.com (example.com.b).
  for (const char* name : {"alpha.org", "example.com", "a.b.example.com", "b.example.com",
                           "mail.example.com", "example.net", "zeta.net", "www.zeta.net"}) {
    expected += "+" + std::string(name) + "-:" + name + ":89:89:/d:-::\n";
  }
  EXPECT_EQ(read_file(path), expected + ".\n");
}

TEST(UpdateFile, LongLinesSurviveTheRewriteByteForByte) {
  // Lines past the old 300-byte and 4096-byte buffers, and one far larger.
  const std::string a = long_line("+a.org-:", 301);
  const std::string c = long_line("+c.org-:", 4097);
  const std::string d = long_line("+d.org-:", 70000);
  const std::string b = long_line("+b.org-:", 5000);
  for (int kind : {kAssignKind, kHostListKind}) {
    SCOPED_TRACE(kind);
    Sandbox box;
    std::string path = box.root() + "/assign";
    std::string dot = kind == kAssignKind ? ".\n" : "";
    write_file(path, a + "\n" + c + "\n" + d + "\n" + dot);
    ASSERT_EQ(update_file(path, b, kind), 0);
    EXPECT_EQ(read_file(path), a + "\n" + b + "\n" + c + "\n" + d + "\n" + dot);
  }
}

struct RefusalCase {
  const char* name;
  void (*arrange)(const std::string& path);
  int code;
  std::string message;  // %s: the target's path
};

TEST(UpdateFile, RefusesWhatItCannotOpenAndLeavesTheTargetAlone) {
  const RefusalCase cases[] = {
      {"lock file cannot be opened",
       [](const std::string& path) { std::filesystem::create_directory(path + ".lock"); }, -17,
       "could not open lock file %s.lock\n"},
      {"temporary file name is taken by a directory",
       [](const std::string& path) {
         std::filesystem::create_directory(path + "." + std::to_string(getpid()));
       },
       -17, "could not create %s.PID: File exists\n"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    std::string path = box.root() + "/rcpthosts";
    write_file(path, "a.org\nc.org\n");
    c.arrange(path);
    std::set<std::string> names_before = names_in(box.root());
    testing::internal::CaptureStderr();
    EXPECT_EQ(update_file(path, "b.org", kHostListKind), c.code);
    std::string message = c.message;
    if (size_t at = message.find("%s"); at != std::string::npos) message.replace(at, 2, path);
    if (size_t at = message.find("PID"); at != std::string::npos) {
      message.replace(at, 3, std::to_string(getpid()));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    EXPECT_EQ(read_file(path), "a.org\nc.org\n");
    names_before.insert("rcpthosts.lock");  // created by the second case; never removed
    std::set<std::string> names_after = names_in(box.root());
    names_after.insert("rcpthosts.lock");
    EXPECT_EQ(names_after, names_before);
  }
}

TEST(UpdateFile, TargetThatIsADirectoryIsRefusedWithoutAStrayCopy) {
  Sandbox box;
  std::string path = box.root() + "/rcpthosts";
  std::filesystem::create_directory(path);
  EXPECT_EQ(update_file(path, "b.org", kHostListKind), -17);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(names_in(box.root()),
            (std::set<std::string>{"rcpthosts", "rcpthosts.lock", "usr", "var", "www"}));
}

TEST(UpdateFile, NewFileTakesTheUmaskAndTheLockFileIsPrivate) {
  Sandbox box;
  std::string path = box.root() + "/rcpthosts";
  mode_t old_mask = umask(027);
  int result = update_file(path, "a.org", kHostListKind);
  umask(old_mask);
  ASSERT_EQ(result, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat((path + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 0);
}

}  // namespace

namespace {

TEST(UpdateFile, LongPathsKeepTheirWholeDerivedNames) {
  // Cut to 300 bytes, the names of the lock file and the copy of a target
  // this long would run into the target's own name.
  Sandbox box;
  std::string dir = box.root() + "/" + std::string(200, 'd');
  std::string name = std::string(299 - dir.size() - 1, 'f');
  std::string path = dir + "/" + name;
  ASSERT_EQ(path.size(), 299u);
  write_file(path, "a.org\nc.org\n");
  ASSERT_EQ(update_file(path, "b.org", kHostListKind), 0);
  EXPECT_EQ(read_file(path), "a.org\nb.org\nc.org\n");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{name, name + ".lock"}));
}

}  // namespace

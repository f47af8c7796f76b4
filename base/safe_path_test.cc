#include "base/safe_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/cwd_guard.h"
#include "tests/testlib/testlib.h"

namespace fs = std::filesystem;

namespace {

TEST(SafePath, PlainNamesAndPaths) {
  const struct {
    const char* text;
    bool name, path;
  } cases[] = {
      {"joe", true, true},      {"j.o-e", true, true}, {"0/A", false, true},
      {"0/A/z", false, true},   {"", false, false},    {".", false, false},
      {"..", false, false},     {"a/..", false, false}, {"../x", false, false},
      {"/abs", false, false},   {"a//b", false, false}, {"a/", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_plain_name(c.text), c.name) << c.text;
    EXPECT_EQ(is_plain_path(c.text), c.path) << c.text;
  }
}

// A link anywhere in a relative path, or at an absolute path's end, is
// never entered; the working directory stays where it was.
TEST(SafePath, EnterDirRefusesLinks) {
  Sandbox box;
  const std::string top = box.root() + "/top";
  fs::create_directories(top + "/a/b");
  fs::create_directories(box.root() + "/elsewhere/b");
  fs::create_directory_symlink(box.root() + "/elsewhere", top + "/link");
  CwdGuard back;
  ASSERT_EQ(chdir(top.c_str()), 0);
  const struct {
    std::string path;
    bool entered;
  } cases[] = {{"a/b", true}, {"a", true}, {"link/b", false}, {"link", false},
               {top + "/a", true}, {top + "/link", false}, {"missing", false}};
  for (const auto& c : cases) {
    int fd = enter_dir(c.path);
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(fd >= 0, c.entered) << c.path;
    const std::string expected = c.path[0] == '/' ? c.path : top + "/" + c.path;
    EXPECT_EQ(std::string(here), fs::canonical(c.entered ? expected : top).string())
        << c.path;
    if (fd >= 0) close(fd);
    ASSERT_EQ(chdir(top.c_str()), 0);
  }
}

TEST(SafePath, InsideDirComparesRealPaths) {
  Sandbox box;
  const std::string dom = box.root() + "/dom";
  fs::create_directories(dom + "/0/joe");
  fs::create_directories(box.root() + "/out");
  fs::create_directory_symlink(box.root() + "/out", dom + "/esc");
  EXPECT_EQ(inside_dir(dom + "/0/joe", dom), "0/joe");
  EXPECT_EQ(inside_dir(dom + "/0/../0/joe", dom), "0/joe");
  for (const std::string& path : {dom, dom + "/..", dom + "/esc", box.root() + "/out",
                                  dom + "/missing"}) {
    EXPECT_EQ(inside_dir(path, dom), std::nullopt) << path;
  }
}

TEST(SafePath, OpenRegularRefusesFifosAndLinks) {
  Sandbox box;
  const std::string file = box.root() + "/file", fifo = box.root() + "/fifo",
                    link = box.root() + "/link";
  write_file(file, "x");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(file, link);
  const struct {
    std::string path;
    bool follow, opens;
  } cases[] = {{file, false, true}, {link, true, true}, {link, false, false},
               {fifo, true, false}, {box.root(), true, false}, {box.root() + "/none", true, false}};
  for (const auto& c : cases) {
    int fd = open_regular(c.path, c.follow);
    EXPECT_EQ(fd >= 0, c.opens) << c.path << " " << c.follow;
    if (fd >= 0) close(fd);
  }
}

}  // namespace

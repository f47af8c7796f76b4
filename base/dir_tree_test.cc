#include "base/dir_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/testlib/testlib.h"

namespace {

namespace fs = std::filesystem;

struct stat status_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

using Owner = std::pair<uid_t, gid_t>;
const Owner kOwner{1234, 1234}, kRoot{0, 0};

Owner owner_of(const std::string& path) {
  const struct stat status = status_of(path);
  return {status.st_uid, status.st_gid};
}

TEST(MakePath, MakesMissingParentsOwnedKeepsExistingAndRefusesNonDirectories) {
  Sandbox box;
  const std::string t = box.root() + "/t", me = program_invocation_short_name;
  fs::create_directories(t + "/old");
  write_file(t + "/file", "x");
  const mode_t old_mask = umask(0);
  EXPECT_EQ(make_path(t + "/old/a/b/", 1234, 1234), 0);
  umask(old_mask);
  for (const char* made : {"/old/a", "/old/a/b"}) {
    EXPECT_EQ(status_of(t + made).st_mode & 07777, 0750u) << made;
    EXPECT_EQ(owner_of(t + made), kOwner) << made;
  }
  EXPECT_EQ(owner_of(t + "/old"), kRoot);
  EXPECT_EQ(make_path(t + "/old/a", 0, 0), 0);
  EXPECT_EQ(owner_of(t + "/old/a"), kOwner);

  std::string limit = t;  // 299 characters, in parts of 50
  while (limit.size() < 299) limit += "/" + std::string(49, 'd');
  limit.resize(299, 'd');
  const std::pair<std::string, std::string> refused[] = {
      {t + "/file", "Error: " + t + "/file is not a directory.\n"},
      {t + "/file/g", me + ": Unable to create directory " + t + "/file/g: Not a directory\n"},
      {limit + "/", me + ": Unable to create directory " + limit + "/: File name too long\n"},
  };
  for (const auto& [path, message] : refused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_path(path, 0, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }
  EXPECT_EQ(make_path(limit, 0, 0), 0);
}

TEST(DeleteTree, RemovesNestedTreeAndLinksButNeverWhatLinksPointTo) {
  Sandbox box;
  const std::string outside = box.root() + "/outside", tree = box.root() + "/d/0/example.org";
  write_file(outside + "/keep", "k");
  write_file(tree + "/a/b/c/file", "x");
  fs::create_directory_symlink(outside, tree + "/a/dirlink");
  fs::create_symlink(outside + "/keep", tree + "/a/b/filelink");
  fs::create_directory_symlink(outside, box.root() + "/toplink");

  const fs::path cwd = fs::current_path();
  fs::current_path(box.root() + "/d");
  EXPECT_EQ(delete_tree("0/example.org"), 0);  // relative, of several parts
  EXPECT_EQ(names_in("."), std::set<std::string>{"0"});
  fs::current_path(cwd);
  EXPECT_EQ(delete_tree(box.root() + "/toplink"), 0);
  EXPECT_EQ(delete_tree(box.root() + "/missing"), -1);
  EXPECT_FALSE(fs::exists(box.root() + "/toplink"));
  EXPECT_EQ(read_file(outside + "/keep"), "k");
}

TEST(RChown, HandsOverTheWholeTreeButNeverLinkTargets) {
  Sandbox box;
  const std::string outside = box.root() + "/outside", tree = box.root() + "/tree";
  write_file(outside, "o");
  write_file(tree + "/sub/deeper/file", "x");
  fs::create_symlink(outside, tree + "/sub/link");
  fs::create_directory_symlink(tree, box.root() + "/toplink");

  const fs::path cwd = fs::current_path();
  EXPECT_EQ(r_chown(tree, 1234, 1234), 0);
  EXPECT_EQ(fs::current_path(), cwd);
  for (const char* entry : {"", "/sub", "/sub/deeper", "/sub/deeper/file", "/sub/link"}) {
    EXPECT_EQ(owner_of(tree + entry), kOwner) << entry;
  }
  EXPECT_EQ(owner_of(outside), kRoot);

  testing::internal::CaptureStderr();
  EXPECT_EQ(r_chown(box.root() + "/toplink", 4321, 4321), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "r_chown() : Failed to cd to directory " + box.root() + "/toplink");
  EXPECT_EQ(owner_of(tree), kOwner);
  EXPECT_EQ(owner_of(box.root() + "/toplink"), Owner(4321, 4321));
}

}  // namespace

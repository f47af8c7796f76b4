// The folders form one stack: a file may include headers of its own folder
// and of folders below it, never of a folder above it or beside it, and a
// folder's library links only libraries below it. The top floor holds three
// programs that never include each other. Unit tests may also use the shared
// test helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Bottom-up; folders on one floor share a number.
const std::map<std::string, int> kFloors = {
    {"base", 0},    {"cdb", 1},   {"usage", 2}, {"domains", 3}, {"quota", 4},
    {"accounts", 5}, {"web", 6},  {"pages", 7}, {"cgi", 8},     {"cli", 8},
    {"tools", 8},
};

bool may_use(const std::string& from, const std::string& to) {
  if (from == to) return true;
  auto below = kFloors.find(to);
  return below != kFloors.end() && below->second < kFloors.at(from);
}

// One finding per offending line: "FILE:LINE: TEXT".
using Findings = std::vector<std::string>;

void check_includes(const fs::path& root, const fs::path& file, Findings& found) {
  std::string from = file.lexically_relative(root).begin()->string();
  bool is_test = file.filename().string().ends_with("_test.cc");
  static const std::regex kInclude(R"re(^\s*#\s*include\s*"([^/"]+)/[^"]*")re");
  std::ifstream in(file);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::smatch match;
    if (!std::regex_search(line, match, kInclude)) continue;
    std::string to = match[1];
    if (is_test && to == "tests") continue;
    if (!may_use(from, to)) {
      found.push_back(file.lexically_relative(root).string() + ":" + std::to_string(number) +
                      ": " + line);
    }
  }
}

void check_links(const fs::path& root, const fs::path& file, Findings& found) {
  std::string from = file.lexically_relative(root).begin()->string();
  static const std::regex kLibrary(R"(larkspur_([a-z]+))");
  std::ifstream in(file);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.find("target_link_libraries") == std::string::npos) continue;
    for (std::sregex_iterator it(line.begin(), line.end(), kLibrary), end; it != end; ++it) {
      std::string to = (*it)[1];
      if (to == "testlib" || kFloors.count(to) == 0) continue;
      if (!may_use(from, to)) {
        found.push_back(file.lexically_relative(root).string() + ":" + std::to_string(number) +
                        ": " + line);
      }
    }
  }
}

Findings layering_findings(const fs::path& root) {
  Findings found;
  for (const auto& [folder, floor] : kFloors) {
    if (!fs::is_directory(root / folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      const fs::path& file = entry.path();
      std::string ext = file.extension().string();
      if (ext == ".cc" || ext == ".h") check_includes(root, file, found);
      if (file.filename() == "CMakeLists.txt") check_links(root, file, found);
    }
  }
  return found;
}

TEST(Layering, EveryFolderBuildsOnlyOnTheFoldersBelowIt) {
  Findings found = layering_findings(LARKSPUR_SOURCE_DIR);
  for (const std::string& finding : found) ADD_FAILURE() << finding;
}

TEST(Layering, TheCheckFindsUpwardAndSidewaysUses) {
  fs::path root = fs::temp_directory_path() / ("layering." + std::to_string(getpid()));
  fs::create_directories(root / "base");
  fs::create_directories(root / "cli");
  fs::create_directories(root / "domains");
  std::ofstream(root / "base/site.cc") << "#include \"base/site.h\"\n#include \"domains/assign.h\"\n";
  std::ofstream(root / "cli/main.cc") << "#include \"cgi/x.h\"\n#include \"pages/p.h\"\n";
  std::ofstream(root / "domains/a_test.cc") << "#include \"tests/testlib/testlib.h\"\n";
  std::ofstream(root / "domains/CMakeLists.txt")
      << "target_link_libraries(larkspur_domains PUBLIC larkspur_base larkspur_accounts)\n";
  Findings found = layering_findings(root);
  fs::remove_all(root);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (Findings{
                       "base/site.cc:2: #include \"domains/assign.h\"",
                       "cli/main.cc:1: #include \"cgi/x.h\"",
                       "domains/CMakeLists.txt:1: target_link_libraries(larkspur_domains PUBLIC "
                       "larkspur_base larkspur_accounts)",
                   }));
}

}  // namespace

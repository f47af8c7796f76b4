#include "base/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(ErrorString, GivesEachCodeItsMessageAndUnknownErrorOutsideTheTable) {
  struct Case {
    int32_t code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {0, "Success"},
      {-1, "Illegal username"},
      {-11, "Domain does not exist"},
      {-18, "Crypt failed"},
      {-20, "bad character"},
      // Codes inside the table without a message of their own.
      {-21, "Unknown error"},
      {-38, "Unknown error"},
      {-40, "Unknown error"},
      {-44, "Unknown error"},
      {-37, "can't read users/assign file"},
      {-45, "parsing database configuration file - update server"},
      {-54, "parsing database configuration file - readonly database"},
      {-55, "can't delete catchall account"},
      // Outside the table, on both sides and at the extremes of the type.
      {-56, "Unknown error"},
      {1, "Unknown error"},
      {55, "Unknown error"},
      {INT32_MIN, "Unknown error"},
      {INT32_MIN + 55, "Unknown error"},
      {INT32_MAX, "Unknown error"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::string(error_string(c.code)), c.message) << "code " << c.code;
  }
}

// A table shifted by one entry would still return texts; this pins the
// placeholders to exactly their codes and leaves every other code a message.
TEST(ErrorString, OnlyTheUnusedCodesInsideTheTableAreUnknown) {
  std::vector<int32_t> unknown;
  for (int32_t code = -55; code <= 0; ++code) {
    if (std::string(error_string(code)) == "Unknown error") unknown.push_back(code);
  }
  EXPECT_EQ(unknown, (std::vector<int32_t>{-44, -43, -42, -41, -40, -39, -38, -21}));
}

}  // namespace

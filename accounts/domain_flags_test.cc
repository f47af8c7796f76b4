#include "accounts/domain_flags.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/site.h"
#include "domains/assign.h"
#include "tests/testlib/testlib.h"

namespace {

TEST(ApplyDomainLimits, AddsTheDomainsServiceFlagsUnlessTheAccountOptsOut) {
  Sandbox box;
  site_set_root(box.root());
  std::string dir = box.path("/usr/local/tessera/domains/example.com");
  write_file(dir + "/.kestrel-limits", "disable_pop\ndisable_smtp\n");
  write_file(box.path("/var/qmail/users/assign"),
             "+example.com-:example.com:" + std::to_string(getuid()) + ":" +
                 std::to_string(getgid()) + ":" + dir + ":-::\n.\n");
  run_qmail_newu();
  struct Case {
    int32_t gid;
    const char* domain;
    int32_t flags;
  } cases[] = {{0, "example.com", 0x802},
               {0x2001, "example.com", 0x2001},
               {0x10, "example.com", 0x812},
               {0x10, "nowhere.org", 0x10}};
  for (const Case& c : cases) {
    password_record record;
    record.gid = c.gid;
    record.flags = -1;
    testing::internal::CaptureStderr();
    apply_domain_limits(record, DomainName(c.domain));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(record.flags, c.flags) << c.gid << " " << c.domain;
  }
  site_set_root("");
}

}  // namespace

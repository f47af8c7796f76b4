// The account flags a domain's limits add: a service the domain switches off
// is off for each of its accounts, unless the account opts out of the
// domain's limits.
//
//   apply_domain_limits   sets record.flags from record.gid: gid alone when
//                         gid carries ignore_domain_limits (0x2000) or the
//                         domain's limits cannot be had; otherwise gid with
//                         the limits' flag bits added. Cannot fail.
#pragma once

#include <string>

#include "base/password_record.h"

void apply_domain_limits(password_record& record, const std::string& domain);

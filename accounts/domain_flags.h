// The account flags a domain's limits add: a service the domain switches off
// is off for each of its accounts, unless the account opts out of the
// domain's limits.
//
//   apply_domain_limits   sets record.flags from record.gid: gid alone when
//                         gid carries ignore_domain_limits (0x2000) or the
//                         domain's limits cannot be had; otherwise gid with
//                         the limits' flag bits added. Cannot fail.
//   domain_limit_flags    the flag bits the domain's limits add, or none
//                         when its limits cannot be had: what a listing
//                         reads once for all its records.
//   apply_limit_flags     apply_domain_limits with those bits already read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/mailbox.h"
#include "base/password_record.h"

void apply_domain_limits(password_record& record, const DomainName& domain);

std::optional<int32_t> domain_limit_flags(const DomainName& domain);

void apply_limit_flags(password_record& record, std::optional<int32_t> limit_flags);

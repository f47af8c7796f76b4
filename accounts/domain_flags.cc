#include "accounts/domain_flags.h"

#include "domains/limits.h"

std::optional<int32_t> domain_limit_flags(const DomainName& domain) {
  domain_limits limits;
  if (get_domain_limits(domain, limits) != 0) return std::nullopt;
  return limits_flag_mask(limits);
}

void apply_limit_flags(password_record& record, std::optional<int32_t> limit_flags) {
  record.flags = record.gid;
  if ((record.gid & kIgnoreDomainLimits) != 0) return;
  if (limit_flags) record.flags |= *limit_flags;
}

void apply_domain_limits(password_record& record, const DomainName& domain) {
  // Read only when they count: an account that ignores its domain's limits
  // costs no read of them.
  if ((record.gid & kIgnoreDomainLimits) != 0) return apply_limit_flags(record, std::nullopt);
  apply_limit_flags(record, domain_limit_flags(domain));
}

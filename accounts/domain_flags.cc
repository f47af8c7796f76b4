#include "accounts/domain_flags.h"

#include "domains/limits.h"

void apply_domain_limits(password_record& record, const std::string& domain) {
  record.flags = record.gid;
  if ((record.gid & kIgnoreDomainLimits) != 0) return;
  domain_limits limits;
  if (get_domain_limits(domain, limits) == 0) record.flags |= limits_flag_mask(limits);
}

// What the password file's lookups and its rewrite share (not part of the
// store's surface): the domain lookup, the rule of who may use a domain's
// password file. Lines are read with base/chunk_lines.h.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>


// Only root and the domain's own user may read or change its password file.
bool may_use_domain(uid_t domain_uid);

// What a domain administrator (an administrator larkspur.scope names, see
// web/scope.h) may touch, checked once by the dispatcher from the command
// table's object field, after the right and before any handler runs, so no
// page can forget it.
//
// A domain is the administrator's when the assignment table resolves it to
// a real domain their scope lists (so the alias domains of their domains
// are theirs, and a listed name that is an alias of someone else's domain
// gives nothing), or, for a name the table does not know, when their scope
// lists the name itself: only such a name may be created, as a domain or an
// alias domain, so a site can hand names out before they exist.
//
// Routines:
//   manages_domain        whether the administrator may manage the domain:
//                         always for an unscoped one.
//   refuse_outside_scope  returns when the command may run. For a scoped
//                         administrator it ends the request on
//                         html/main.html, the refusal written to the audit
//                         log, when the command is a control-file page
//                         (kControlFilesNotYours) or when its object field
//                         or its joins field is given and names a domain, or
//                         an address of a domain, that is not theirs
//                         ("Domain %s is not yours to manage" with the
//                         domain as the store takes it). An absent or empty
//                         field passes: the handler stops at it with its
//                         own form page. The domain list always passes; it
//                         filters itself (scope_lists).
#pragma once

#include "base/mailbox.h"
#include "pages/dispatch.h"

inline constexpr char kControlFilesNotYours[] =
    "Control files belong to the whole host and are not yours to manage";

bool manages_domain(const DomainName& name);

void refuse_outside_scope(const Command& command);

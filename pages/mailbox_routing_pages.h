// The forward and vacation forms of one mailbox, reached from the account
// view (html/mod_routing.html): view_routing shows them (right V), and
// mod_forward and mod_vacation change the mailbox's forwards and vacation
// reply (right M; changing commands, so the dispatcher guards and logs
// them). The mailbox is named by its address in eaddr, as on the account
// pages; the store's rules are accounts/mailbox_routing.h.
//
// Form fields: mod_forward takes forwards (addresses separated by blanks,
// commas or line ends; none removes the forwards) and the check box keep;
// mod_vacation takes vsubject, vtext and vuntil (YYYY-MM-DD, may be
// empty). Either with the field off removes what it sets.
//
// The page shows UA the address, UE the address and DN the domain in link
// form, RF the forwards one per line, RK "CHECKED" when a copy is kept, RV
// whether a vacation reply is set (language text 366 or 367), RS RT RU its
// subject, text and last day. After a change, the page with its result as
// the message; without an address, or for no such account, the address
// form (html/view_user.html) with the message.
#pragma once

#include <string>
#include <vector>

[[noreturn]] void view_routing();
[[noreturn]] void mod_forward();
[[noreturn]] void mod_vacation();

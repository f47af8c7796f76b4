// The account pages: create, delete, show and change one mailbox, named by
// its full address in the form field eaddr. Each needs its right (C, D, V,
// M), which the dispatcher tests before the handler runs (pages/dispatch.h:
// without it, html/main.html with the page's "Permission denied" message).
// Every handler ends the process after one page.
//
// Form fields: eaddr, fname, cpass, quota and the check boxes upassc,
// udisable, uweb, uimap, ubounce, urelay, ukestrel. A field is "given" when
// it is present and not empty; a check box counts when present at all,
// whatever its value.
//
// The account view (html/mod_user.html) shows, in this order: UA the address
// as the split left it (small letters), UN full name, UQ quota text, UD
// mailbox directory, UC UP UW UI UB US UK "CHECKED" for each flag of the
// stored flag word, UT the last login time (asctime text) or "never logged
// in", UZ the last client address or "never logged in" (none, or exactly
// "0.0.0.0"); then UU, the mailbox's use as "N%", and DN, the account's
// domain in link form, for the page's links to its domain, and UE the
// address in link form, for the link to its forwards and vacation reply.
//
// What the handlers refuse beyond the bare store rules: add_user without a
// cpass field creates nothing ("Add Email Account: Failed: no password
// given"); after a failed creation it touches no record and shows the main
// page; mod_user stores nothing when the new password cannot be crypted.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "accounts/hash_password.h"
#include "base/password_record.h"

// One account check box: its form field and the flag bit it stands for.
struct AccountFlagBox {
  const char* field;
  int32_t bit;
  const char* view_key;  // the account view's variable
};

// The seven boxes, in the order their view variables are set.
inline constexpr AccountFlagBox kAccountFlagBoxes[] = {
    {"upassc", kDisablePasswordChanging, "UC"}, {"udisable", kDisablePop, "UP"},
    {"uweb", kDisableWebmail, "UW"},           {"uimap", kDisableImap, "UI"},
    {"ubounce", kBounceMail, "UB"},            {"urelay", kDisableExternalRelay, "US"},
    {"ukestrel", kDomainAdmin, "UK"},
};

// The flag word the form asks for: the bits of the boxes present.
int32_t form_account_flags();

// The account view's last-login texts: UT from the record's time (0: none)
// and UZ from its address text.
std::string last_login_time_text(time_t when);
std::string last_login_address_text(const std::optional<std::string>& address);

// mod_user's new password: when changing is allowed (no 0x1 in the stored
// word) the record gets the crypted text and the clear one. 0 (also when
// the change is not allowed: nothing happens), or the crypt failure's code
// with the record untouched.
int set_new_password(password_record& record, const std::string& clear, CryptFunction crypt);

// Sets the view variables for the record and prints html/mod_user.html.
[[noreturn]] void fill_account_view(const std::string& address, const password_record& record,
                                    const std::string& domain);

[[noreturn]] void add_user();
[[noreturn]] void del_user();
[[noreturn]] void view_user();
[[noreturn]] void mod_user();

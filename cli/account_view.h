// How the tool shows one mailbox: its stored password line, its flag words
// by name, its last login, and the same as JSON members.
//
// Last login: the time of the mailbox's lastauth record and the client
// address it holds, its line end dropped. Whether the record means never
// logged in is the store's rule (lastauth_login_time, lastauth_never), which
// the account page applies too: the mark creation writes has a time, the
// creation's, but it is no login.
//
// Routines:
//   stored_line        the password line as tpasswd holds it, no line end.
//   flag_names         the names of the set bits of a flag word, lowest
//                      bit first; unnamed bits are left out.
//   last_login_of      the record's last login (reads lastauth).
//   last_login_text    "YYYY-MM-DD HH:MM:SS UTC from ADDRESS" or "never".
//   account_json       the stored fields, the effective flags as a number
//                      and by name, as members of an object.
//   add_last_login     last_login (seconds or null) and last_login_from.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "base/password_record.h"
#include "cli/json.h"

struct LastLogin {
  time_t when = 0;
  std::optional<std::string> from;  // none: never logged in
};

std::string stored_line(const password_record& record);

std::vector<std::string> flag_names(int32_t flags);

LastLogin last_login_of(const password_record& record);

std::string last_login_text(const LastLogin& login);

JsonObject account_json(const password_record& record);

void add_last_login(JsonObject& object, const LastLogin& login);

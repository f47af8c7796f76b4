// Quota texts as administrators type them, in the account pages, tessera
// and imports alike: one grammar, so a text one of them takes is stored the
// same way by all, and a text none would store as meant is refused.
//
// Typed form: "NOQUOTA", or comma-separated items (empty ones skipped), each
// a decimal number followed by "C" (messages), or by an optional scale
// (k/K 2^10, m/M 2^20, g/G 2^30, t/T 2^40), an optional "B"/"b" and an
// optional "S"/"s" (bytes). Leading blanks of an item are passed over.
//
// Routines:
//   quota_input           the stored quota text for a typed one, as
//                         format_quota_spec normalises it ("10MB" gives
//                         "10485760S", "0" the empty text: no limit); none
//                         for any other text ("lots", "1X", "", "1000c").
//                         Lengths are the store's to judge.
//   quota_not_understood  the message that refuses a typed text:
//                         "quota not understood: TEXT".
#pragma once

#include <optional>
#include <string>
#include <string_view>

std::optional<std::string> quota_input(std::string_view typed);

std::string quota_not_understood(std::string_view typed);

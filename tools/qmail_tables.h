// The two tables the stand-ins compile, turned into cdb (key, value) pairs.
//
// users/assign: lines "=address:user:uid:gid:home:dash:ext:" give the key
// "=" + address, lines "+prefix:user:uid:gid:home:dash:pre:" the key
// "!" + prefix; the value is user, uid, gid, home, dash and ext (or pre),
// each followed by a NUL byte. The table ends at the line "."; anything
// after it is ignored.
//
// control/morercpthosts: one host a line; each becomes a lower-cased key
// with an empty value. Blank lines and lines starting with "#" are skipped.
#pragma once

#include <string>

#include "tools/qmail_tool.h"

// Compiles users/assign. true with every entry in `pairs`, in file order;
// false with `problem` saying what is wrong (and which line) when a line
// is malformed or the final "." is missing.
bool compile_assign(const std::string& text, KeyValuePairs* pairs, std::string* problem);

// Compiles control/morercpthosts. Never fails.
KeyValuePairs compile_morercpthosts(const std::string& text);

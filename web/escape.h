// Making untrusted text safe for a page: HTML escaping for text printed into
// a page and URL encoding for text put into a link.
//
// Both are pure functions of their input and cannot fail. Plain names (letters,
// digits, "-", "_", "." and "~") come out unchanged, so pages that only ever
// carry such names look exactly as they always did.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// & < > " ' become &amp; &lt; &gt; &quot; &#39;; every other byte stays.
std::string html_escape(std::string_view text);

// The same, written straight to a stream (the template engine's path, which
// must not allocate for every token it prints).
void print_html_escaped(std::string_view text, FILE* out);

// Every byte but A-Z a-z 0-9 - _ . ~ becomes %XX with upper-case hex digits,
// the only form the request decoder reads back.
std::string url_encode(std::string_view text);

// The releases of the program and of the mail-domain store it drives: the
// version lines of the pages and `tessera --version` both name these, so
// the two can never tell an administrator different things.
#pragma once

inline constexpr char kLarkspurVersion[] = "1.0";
inline constexpr char kTesseraVersion[] = "1.0";

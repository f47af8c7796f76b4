// The rules that the quota routines share among their files: bounded
// number reading, the judgement of a usage against a quota text, the
// folder-to-maildir step, and installing a new maildirsize. Internal to the
// quota folder; callers outside it use quota/maildir_quota.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The run of decimal digits at text[pos]; pos moves past it. The value
// saturates at 2^64-1; digits says how many were read (0: none there).
struct Decimal {
  uint64_t value = 0;
  size_t digits = 0;
};
Decimal read_decimal(std::string_view text, size_t& pos);

uint64_t add_capped(uint64_t a, uint64_t b);

// The whole-number percentage of used against limit, 0..100; a limit of 0
// is full (100).
int percent_of(uint64_t used, uint64_t limit);

// A usage judged against every limit written in the quota text: each
// run of digits is a limit, of messages when "C" follows it, else of bytes.
// Over when any limit is below its usage; the percentage is the largest
// item's (100 when over).
struct QuotaVerdict {
  bool over = false;
  int percent = 0;
};
QuotaVerdict judge_usage(std::string_view quota_text, uint64_t size, uint64_t count);

// DIR joined with NAME by exactly one "/".
std::string path_in(const std::string& dir, std::string_view name);

// The maildir a path stands for: its parent when it is a folder (holds a
// "maildirfolder" file), else the path itself. One step only, so a tree
// with the marker on every level cannot send it upwards without end.
std::string maildir_of(const std::string& path);

// Puts CONTENT into a new maildirsize of the maildir open at MAILDIR (a
// directory descriptor; -1 fails): a temporary file in tmp/ owned 89:89,
// written whole, renamed into place, all relative to descriptors and never
// through a link at tmp/. 0 installed (*fd, when given, keeps the open
// file), 1 written but the rename failed (temporary removed, no fd), -1 no
// temporary (tmp/ missing or a link) or the write failed (temporary
// removed, nothing renamed).
int install_maildirsize(int maildir, std::string_view content, int* fd);

// "SIZE COUNT\n", the usage line of maildirsize.
std::string usage_line(uint64_t size, uint64_t count);

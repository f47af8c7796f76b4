// The quota text: turning what an administrator typed into the
// stored form, splitting the stored form into its limits, and judging a
// usage against it.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "base/text.h"
#include "quota/maildir_quota.h"
#include "quota/quota_input.h"
#include "quota/quota_rules.h"

namespace {

constexpr uint64_t kAllOnes = std::numeric_limits<uint64_t>::max();
// format_quota_spec's result and the size of the text it copies.
constexpr size_t kQuotaTextBuffer = 128;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

uint64_t multiply_capped(uint64_t value, uint64_t factor) {
  if (value != 0 && factor > kAllOnes / value) return kAllOnes;
  return value * factor;
}

// The comma-separated items of a text, empty ones skipped.
std::vector<std::string_view> spec_items(std::string_view text) {
  std::vector<std::string_view> items;
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

// The item's leading decimal number, after leading blanks.
uint64_t leading_number(std::string_view item) {
  size_t pos = item.find_first_not_of(" \t");
  if (pos == std::string_view::npos) return 0;
  return read_decimal(item, pos).value;
}

// What a scale letter multiplies a size by: k 2^10, m 2^20, g 2^30, t 2^40
// (either case); any other letter leaves the number as it is.
uint64_t scale_of(char unit) {
  switch (unit) {
    case 'k': case 'K': return uint64_t{1} << 10;
    case 'm': case 'M': return uint64_t{1} << 20;
    case 'g': case 'G': return uint64_t{1} << 30;
    case 't': case 'T': return uint64_t{1} << 40;
    default: return 1;
  }
}

// A size item as typed: "10MB", "500k", "2048", "1mS". A trailing "S"/"s"
// and then "B"/"b" are units of bytes; a scale letter before them scales.
uint64_t typed_size(std::string_view item) {
  size_t end = item.size();
  if (item[end - 1] == 'S' || item[end - 1] == 's') --end;
  if (end > 0 && (item[end - 1] == 'b' || item[end - 1] == 'B')) --end;
  uint64_t value = leading_number(item);
  char unit = end > 0 ? item[end - 1] : '\0';
  return multiply_capped(value, scale_of(unit));
}

// One item as an administrator may type it: a number of messages ("1000C"),
// or of bytes with an optional scale, unit and "S" ("10MB", "500k", "1G",
// "2048", "1mS").
bool typed_item_ok(std::string_view item) {
  size_t pos = item.find_first_not_of(" \t");
  if (pos == std::string_view::npos || !is_digit(item[pos])) return false;
  while (pos < item.size() && is_digit(item[pos])) ++pos;
  std::string_view unit = item.substr(pos);
  if (unit == "C") return true;
  auto take = [&unit](std::string_view letters) {
    if (!unit.empty() && letters.find(unit.front()) != std::string_view::npos) unit.remove_prefix(1);
  };
  take("kKmMgGtT");
  take("bB");
  take("sS");
  return unit.empty();
}

}  // namespace

Decimal read_decimal(std::string_view text, size_t& pos) {
  Decimal number;
  for (; pos < text.size() && is_digit(text[pos]); ++pos, ++number.digits) {
    uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
    if (number.value > (kAllOnes - digit) / 10) {
      number.value = kAllOnes;
    } else {
      number.value = number.value * 10 + digit;
    }
  }
  return number;
}

uint64_t add_capped(uint64_t a, uint64_t b) { return a > kAllOnes - b ? kAllOnes : a + b; }

int percent_of(uint64_t used, uint64_t limit) {
  if (limit == 0) return 100;
  unsigned __int128 percent = static_cast<unsigned __int128>(used) * 100 / limit;
  return percent > 100 ? 100 : static_cast<int>(percent);
}

QuotaVerdict judge_usage(std::string_view quota_text, uint64_t size, uint64_t count) {
  QuotaVerdict verdict;
  size_t pos = 0;
  while (pos < quota_text.size()) {
    if (!is_digit(quota_text[pos])) {
      ++pos;
      continue;
    }
    uint64_t limit = read_decimal(quota_text, pos).value;
    bool of_messages = pos < quota_text.size() && quota_text[pos] == 'C';
    uint64_t used = of_messages ? count : size;
    if (limit < used) verdict.over = true;
    verdict.percent = std::max(verdict.percent, percent_of(used, limit));
  }
  if (verdict.over) verdict.percent = 100;
  return verdict;
}

std::string usage_line(uint64_t size, uint64_t count) {
  char line[64];
  std::snprintf(line, sizeof line, "%llu %llu\n", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(count));
  return line;
}

std::string format_quota_spec(std::string_view input) {
  if (input == "NOQUOTA") return "NOQUOTA";
  std::string text = field_text(input, kQuotaTextBuffer);
  uint64_t size = 0, count = 0;
  for (std::string_view item : spec_items(text)) {
    if (item.back() == 'C') {
      count = leading_number(item);
    } else {
      size = typed_size(item);
    }
  }
  char quota_text[kQuotaTextBuffer];
  auto size_ll = static_cast<unsigned long long>(size);
  auto count_ll = static_cast<unsigned long long>(count);
  if (size != 0 && count != 0) {
    std::snprintf(quota_text, sizeof quota_text, "%lluS,%lluC", size_ll, count_ll);
  } else if (count != 0) {
    std::snprintf(quota_text, sizeof quota_text, "%lluC", count_ll);
  } else if (size != 0) {
    std::snprintf(quota_text, sizeof quota_text, "%lluS", size_ll);
  } else {
    quota_text[0] = '\0';
  }
  return quota_text;
}

std::optional<std::string> quota_input(std::string_view typed) {
  if (typed == "NOQUOTA") return std::string(typed);
  std::vector<std::string_view> items = spec_items(typed);
  if (items.empty()) return std::nullopt;
  for (std::string_view item : items) {
    if (!typed_item_ok(item)) return std::nullopt;
  }
  return format_quota_spec(typed);
}

std::string quota_not_understood(std::string_view typed) {
  return "quota not understood: " + std::string(typed);
}

int parse_quota_spec(const char* quota_text, uint64_t* size_limit, uint64_t* count_limit) {
  uint64_t size = 0, count = 0;
  bool have_size = false, have_count = false;
  std::string_view text = quota_text ? quota_text : "";
  std::vector<std::string_view> items = spec_items(text);
  for (size_t i = 0; i < items.size(); ++i) {
    std::string_view item = items[i];
    size_t start = item.find_first_not_of(" \t");
    // A negative or overflowing value stands for "unset" in stored texts.
    if (start == std::string_view::npos || item[start] == '-') continue;
    uint64_t value = leading_number(item);
    if (value == kAllOnes) continue;
    char suffix = item.back();
    if (suffix == 'C') {
      if (!have_count) count = value, have_count = true;
    } else if (suffix == 'S' || i + 1 == items.size()) {
      if (!have_size) size = value, have_size = true;
    }
  }
  if (size_limit) *size_limit = size;
  if (count_limit) *count_limit = count;
  return text.empty() ? 0 : 1;
}

#include <vector>

#include "base/locked_file.h"
#include "base/text.h"

namespace {

// Only the first ten labels of a name take part in its key.
constexpr size_t kKeyLabels = 10;

// Step one of the key: the text before the first ":", and for an assign
// entry without its leading "+" and the "-" that closes the name.
std::string key_text(std::string_view line, int kind) {
  size_t limit = kSortKeyMax;
  if (kind == kAssignKind && !line.empty()) {
    line.remove_prefix(1);
    --limit;
  }
  std::string text(line.substr(0, line.find(':')));
  cut_text(text, limit);
  if (kind == kAssignKind && !text.empty()) text.pop_back();
  return text;
}

std::vector<std::string_view> leading_labels(std::string_view text) {
  std::vector<std::string_view> labels;
  size_t start = 0;
  while (start <= text.size() && labels.size() < kKeyLabels) {
    size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) dot = text.size();
    if (dot > start) labels.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
  return labels;
}

}  // namespace

std::string sort_key(std::string_view line, int kind) {
  std::string text = key_text(line, kind);
  std::vector<std::string_view> labels = leading_labels(text);
  if (labels.size() < 2) return text;
  size_t n = labels.size();
  // The parent domain first, so that its sub-domains follow it directly.
  std::string key;
  key.reserve(text.size());
  key.append(labels[n - 2]).append(".").append(labels[n - 1]);
  for (size_t i = 0; i + 2 < n; ++i) key.append(".").append(labels[i]);
  return key;  // never longer than the text it was built from
}

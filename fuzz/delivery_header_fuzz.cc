// The delivery program's header scan: fed in any pieces, it finds what one
// pass over the whole message finds, and it finds the sought line exactly
// when some line before the first empty one is that line (capitals and
// small letters alike, a "\r" before the "\n" passed over). The first byte
// picks where the input is cut into two pieces; the sought line is the
// input's first line after that byte.
#include <string>
#include <string_view>

#include "accounts/deliver.h"
#include "fuzz/fuzz_common.h"

namespace {

bool reference(std::string_view message, std::string_view want) {
  if (want.empty()) return false;
  std::string lower_want(want);
  for (char& c : lower_want) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  while (!message.empty()) {
    size_t end = message.find('\n');
    if (end == std::string_view::npos) return false;  // an unended line is never judged
    std::string line(message.substr(0, end));
    message.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return false;
    for (char& c : line) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (line == lower_want) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view want = input.substr(0, input.find('\n'));
  std::string_view message = input.substr(want.size() == input.size() ? input.size() : want.size() + 1);
  size_t cut = message.empty() ? 0 : data[0] % (message.size() + 1);
  HeaderScan whole(want), pieces(want);
  whole.feed(message);
  if (pieces.feed(message.substr(0, cut))) pieces.feed(message.substr(cut));
  fuzz_require(whole.found() == pieces.found(), "pieces find what the whole finds");
  fuzz_require(whole.found() == reference(message, want), "the scan finds a header line");
  return 0;
}

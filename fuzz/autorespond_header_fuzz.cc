// The vacation reply's readers: the message header as read from a
// descriptor and cut into fields, the address lists of its To: and Cc:
// fields, and the record of answered senders. The header read stops right
// after the first empty line (or at the end of the input); every field has
// a plain name and a value without line ends; an address matches in
// capitals as in small letters; and a record rewritten for a sender stays
// within its bounds, ends with that sender's line, and answers for that
// sender exactly within the interval.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "accounts/autorespond.h"
#include "base/fd_guard.h"
#include "base/whole_file.h"
#include "fuzz/fuzz_common.h"

namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string lowered_line(std::string_view sender, time_t now) {
  std::string out(sender);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out + " " + std::to_string(now);
}

// Where the header ends by the plain rule: past the first empty line.
std::string_view header_part(std::string_view input) {
  if (input.starts_with("\n")) return input.substr(0, 1);
  if (input.starts_with("\r\n")) return input.substr(0, 2);
  for (size_t at = input.find('\n'); at != std::string_view::npos; at = input.find('\n', at + 1)) {
    if (input.substr(at + 1).starts_with("\n")) return input.substr(0, at + 2);
    if (input.substr(at + 1).starts_with("\r\n")) return input.substr(0, at + 3);
  }
  return input;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz_bytes(data, size);
  const std::string path = fuzz_root() + "/message";
  fuzz_write(path, input);
  std::string header;
  bool whole = false;
  {
    FdGuard fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    whole = read_header(fd.get(), header);
  }
  const std::string_view expected = header_part(input);
  fuzz_require(whole == (expected.size() <= kAutorespondHeaderMax),
               "the header read ends in bounds");
  if (whole) fuzz_require(header == expected, "the header read stops after its empty line");

  const std::string_view sender = input.substr(0, std::min<size_t>(input.find('\n'), 64));
  for (const HeaderField& field : parse_header(header)) {
    fuzz_require(!field.name.empty() && field.name.find_first_of(": \t\r\n") == std::string::npos,
                 "a field has a plain name");
    fuzz_require(field.value.find('\n') == std::string::npos, "a value has no line end");
    fuzz_require(address_list_has(field.value, sender) ==
                     address_list_has(field.value, upper(sender)),
                 "addresses match in capitals as in small letters");
  }

  const time_t now = 1700000000;
  const std::string record = record_reply(input, sender, now);
  const std::vector<std::string> lines = split_lines(record);
  fuzz_require(lines.size() <= kRepliedMaxLines && record.size() <= kRepliedMaxBytes,
               "the record stays within its bounds");
  fuzz_require(lines.back() == lowered_line(sender, now), "the sender's line comes last");
  fuzz_require(replied_within(record, sender, now) &&
                   replied_within(record, upper(sender), now + kReplyInterval - 1) &&
                   !replied_within(record, sender, now + kReplyInterval),
               "the sender's line answers for the interval");
  return 0;
}

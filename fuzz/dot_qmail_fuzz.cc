// Dot-qmail files as the user list reads them: a bounded prefix, cut into
// pieces of at most 155 bytes, each line through the rule that names a
// mailbox-path line's mailbox; and cut into whole lines, each through the
// delivery program's line grammar. The prefix never exceeds its bound, a
// piece never exceeds its size, a name never exceeds the line it came from,
// and what a line's kind carries lies inside the line.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_common.h"
#include "pages/show_users.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_domain_dir() + "/.qmail-fuzz";
  fuzz_write(path, fuzz_bytes(data, size));
  std::optional<std::string> text = read_dot_qmail(PathAt{AT_FDCWD, path}, false);
  fuzz_require(text.has_value(), "the file opens");
  fuzz_require(text->size() == std::min(size, kDotQmailReadMax), "the prefix is read whole");
  std::string_view rest = *text, piece;
  size_t read = 0;
  while (next_piece(rest, piece)) {
    fuzz_require(!piece.empty() && piece.size() <= kDotQmailPiece, "a piece fits its buffer");
    read += piece.size();
    fuzz_require(alias_mailbox_name(piece).size() <= piece.size(), "a name lies inside its line");
  }
  fuzz_require(read == text->size(), "the pieces cover the prefix");
  rest = *text;
  read = 0;
  while (next_piece(rest, piece, kDotQmailWholeLine)) {
    read += piece.size();
    DotQmailLine line = parse_dot_qmail_line(piece);
    fuzz_require(line.text.data() >= piece.data() &&
                     line.text.data() + line.text.size() <= piece.data() + piece.size(),
                 "a line's text lies inside the line");
    fuzz_require(line.kind != DotQmailKind::kNothing || piece == "\n", "only an empty line is nothing");
  }
  fuzz_require(read == text->size(), "the lines cover the prefix");
  NoMailbox action = parse_no_mailbox(*text);
  fuzz_require(action.target.size() <= text->size(), "the no-mailbox target lies inside");
  return 0;
}

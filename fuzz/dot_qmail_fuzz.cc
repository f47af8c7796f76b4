// Dot-qmail files as the user list reads them: pieces of at most 155
// bytes, each line through the rule that names a mailbox-path line's
// mailbox. A piece never exceeds its size, and a name never exceeds the
// line it came from.
#include <cstdio>
#include <string>

#include "fuzz/fuzz_common.h"
#include "pages/show_users.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_domain_dir() + "/.qmail-fuzz";
  fuzz_write(path, fuzz_bytes(data, size));
  FILE* in = fopen(path.c_str(), "r");
  fuzz_require(in != nullptr, "the file opens");
  std::string piece;
  size_t read = 0;
  while (next_piece(in, piece)) {
    fuzz_require(!piece.empty() && piece.size() <= kDotQmailPiece, "a piece fits its buffer");
    read += piece.size();
    fuzz_require(alias_mailbox_name(piece).size() <= piece.size(), "a name lies inside its line");
  }
  fclose(in);
  fuzz_require(read <= size, "no more bytes than the file holds");
  return 0;
}

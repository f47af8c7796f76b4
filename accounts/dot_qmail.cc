#include "accounts/dot_qmail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/safe_path.h"

std::optional<std::string> read_dot_qmail(const PathAt& path, bool follow_links,
                                          off_t* file_size) {
  // A plain file only: follow_links false refuses a link, and a pipe or
  // device is never opened in a way that could wait.
  struct stat st;
  int fd = open_regular_at(path.dirfd, path.name, O_RDONLY, follow_links, &st);
  if (fd < 0) return std::nullopt;
  const off_t size = st.st_size;
  if (file_size != nullptr) *file_size = size;
  // The size as the file was opened bounds the read, so a file grown or
  // sparse past the limit costs at most kDotQmailReadMax bytes.
  std::string text(std::min(static_cast<uint64_t>(std::max<off_t>(size, 0)),
                            static_cast<uint64_t>(kDotQmailReadMax)),
                   '\0');
  size_t used = 0;
  while (used < text.size()) {
    ssize_t got = read(fd, text.data() + used, text.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<size_t>(got);
  }
  close(fd);
  text.resize(used);
  return text;
}

bool next_piece(std::string_view& text, std::string_view& piece, size_t max) {
  if (max == 0) max = 1;
  size_t end = std::min({text.find('\n'), text.size() - 1, max - 1}) + 1;
  piece = text.substr(0, end);
  text.remove_prefix(piece.size());
  return !piece.empty();
}

DotQmailLine parse_dot_qmail_line(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.empty()) return {DotQmailKind::kNothing, line, line};
  const char first = line.front();
  if (first == '#') return {DotQmailKind::kComment, line.substr(1), line};
  if (first == '|') return {DotQmailKind::kProgram, line.substr(1), line};
  if (first == '/' || first == '.') {
    return {line.back() == '/' ? DotQmailKind::kMaildir : DotQmailKind::kMbox, line, line};
  }
  if (first == '&') return {DotQmailKind::kForward, line.substr(1), line};
  if ((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') ||
      (first >= '0' && first <= '9')) {
    return {DotQmailKind::kForward, line, line};
  }
  return {DotQmailKind::kUnknown, line, line};
}

std::vector<DotQmailLine> delivery_lines(std::string_view text) {
  std::vector<DotQmailLine> lines;
  for (std::string_view piece; next_piece(text, piece, kDotQmailWholeLine);) {
    DotQmailLine line = parse_dot_qmail_line(piece);
    if (line.kind != DotQmailKind::kNothing && line.kind != DotQmailKind::kComment) {
      lines.push_back(line);
    }
  }
  return lines;
}

NoMailbox parse_no_mailbox(std::string_view argument) {
  size_t first = argument.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {NoMailboxKind::kUnknown, ""};
  std::string target(argument.substr(first, argument.find_last_not_of(" \t") + 1 - first));
  if (target.find("bounce-no-mailbox") != std::string::npos) {
    return {NoMailboxKind::kBounce, target};
  }
  if (target.find("delete-no-mailbox") != std::string::npos) {
    return {NoMailboxKind::kDelete, target};
  }
  if (target.front() == '/') return {NoMailboxKind::kPath, target};
  size_t at = target.find('@');
  if (at != std::string::npos && at > 0) return {NoMailboxKind::kAddress, target};
  return {NoMailboxKind::kUnknown, target};
}

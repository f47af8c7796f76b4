// Dot-qmail files, the delivery instructions qmail-local follows: one
// reader and one line grammar for every part of the store that reads them
// (the user list's forward and vacation columns and alias table, account
// deletion's catch-all rule, and the delivery program).
//
// A mailbox's .qmail may be written by its owner, and a domain's files by
// its administrator, so a file is read only as a plain file, never through
// a link, and never further than kDotQmailReadMax bytes: no file can hold a
// reader for longer than that read.
//
// Routines:
//   read_dot_qmail     the first kDotQmailReadMax bytes of a plain file
//                      (fewer when it is shorter), read with one pass.
//                      follow_links false refuses a symbolic link at the
//                      last component; a FIFO or device is never waited on.
//                      *file_size, when given, receives the file's size as
//                      it was opened (so a caller can tell a cut file). None,
//                      with errno from the open, when the file cannot be
//                      opened or is no plain file (ENOENT: nothing there,
//                      ELOOP: a link, EINVAL: not a plain file); a read
//                      error ends the text where it happened.
//   next_piece         the next piece of a text: up to and including a
//                      newline, at most max bytes (the user list's
//                      kDotQmailPiece, or kDotQmailWholeLine for delivery);
//                      piece views that part, and text moves past it. False
//                      (piece empty) at the end of the text.
//   parse_dot_qmail_line  one line (its newline, if any, is dropped) as
//                      qmail-local reads it: "#" a comment, an empty line
//                      nothing, "|" a program (the rest is the command), "/"
//                      or "." a maildir when it ends in "/" and an mbox file
//                      otherwise, "&" a forward (the rest is the address), a
//                      letter or digit a forward of the whole line; anything
//                      else is kUnknown. Never fails.
//   delivery_lines     the lines of a whole dot-qmail text that say
//                      something (comments and empty lines left out), in
//                      order, each parsed as parse_dot_qmail_line parses it;
//                      line is the whole line without its newline. Every
//                      view is into text. Never fails.
//   parse_no_mailbox   the second argument of the delivery program's line in
//                      .qmail-default (blanks and tabs off both ends): what
//                      mail for a recipient without a mailbox becomes.
//                      "bounce-no-mailbox" or "delete-no-mailbox" anywhere in
//                      it: kBounce or kDelete; beginning with "/": kPath (a
//                      mailbox directory); holding "@" after its first
//                      character: kAddress; else kUnknown (an "@" first among
//                      them). target holds the trimmed text.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/open_dir.h"

// Lines of dot-qmail files are shown in pieces of at most this many bytes.
inline constexpr size_t kDotQmailPiece = 155;

// A dot-qmail file is judged on at most this many bytes from its start.
inline constexpr size_t kDotQmailReadMax = 64 * 1024;

// A piece bound that never cuts a line of a file read by read_dot_qmail.
inline constexpr size_t kDotQmailWholeLine = kDotQmailReadMax + 1;

std::optional<std::string> read_dot_qmail(const PathAt& path, bool follow_links,
                                          off_t* file_size = nullptr);

bool next_piece(std::string_view& text, std::string_view& piece, size_t max = kDotQmailPiece);

enum class DotQmailKind { kNothing, kComment, kProgram, kMaildir, kMbox, kForward, kUnknown };

struct DotQmailLine {
  DotQmailKind kind = DotQmailKind::kNothing;
  std::string_view text;  // the command, path or address (views the line)
  std::string_view line;  // the whole line, without its newline
};

DotQmailLine parse_dot_qmail_line(std::string_view line);

std::vector<DotQmailLine> delivery_lines(std::string_view text);

enum class NoMailboxKind { kBounce, kDelete, kPath, kAddress, kUnknown };

struct NoMailbox {
  NoMailboxKind kind = NoMailboxKind::kUnknown;
  std::string target;
};

NoMailbox parse_no_mailbox(std::string_view argument);

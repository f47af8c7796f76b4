// The vacation reply: what tessera-autorespond does for one message that
// reaches a mailbox whose .qmail runs it ("|HOME/bin/tessera-autorespond
// DIR", DIR the mailbox directory). The mailbox's vacation folder
// (DIR/vacation/) holds the reply's subject line, its text, an optional
// last day (YYYY-MM-DD, inclusive, local time) and the record of whom it
// answered when ("ADDRESS UNIXTIME" lines, addresses lower-cased).
//
// An automatic answer must never start or feed a mail loop, answer a list
// or a robot, or repeat itself, so a message is answered only when all of
// these hold: the envelope sender is not empty, and its local part is not
// MAILER-DAEMON, does not end in "-request" and does not begin with
// "owner-" (ASCII capitals and small letters alike); the header has no
// Auto-Submitted other than "no", no Precedence of bulk, list or junk and
// no field whose name begins with "List-"; the mailbox's address is in a
// To: or Cc: field; the last day has not passed; and the sender was not
// answered in the last kReplyInterval seconds.
//
// The reply goes to qmail-queue (queue_forward of accounts/deliver.h) with
// the empty envelope sender and the sender as its one recipient; it is
// From the mailbox's address, carries Auto-Submitted: auto-replied, the
// subject the user set, its own Date and Message-ID, and In-Reply-To and
// References made from the message's. The record is rewritten through a
// private copy and a rename under the lock DIR/vacation/replied.lock, never
// through a link; the copy is made before the reply is queued and renamed
// only once qmail-queue took it, so a reply that failed leaves the record
// as it was, and a record that cannot be written sends nothing.
//
// Nothing here can fail a delivery: every outcome is a note for stderr.
//
// Routines:
//   read_header      reads the message's header (up to and including the
//                    first empty line) from fd, at most
//                    kAutorespondHeaderMax bytes. true when the header
//                    ended (or the message did) within that; false on a
//                    read error or a longer header (header then holds
//                    what was read).
//   parse_header     the fields of a header: each "NAME: VALUE" line with
//                    its continuation lines (those beginning with a blank
//                    or a tab) joined on, line ends ("\n", "\r\n") taken
//                    out; the name without blanks before the colon. Lines
//                    of no field (no colon, or a continuation with no field
//                    before it) are passed over; parsing stops at the first
//                    empty line. Never fails.
//   address_list_has whether an address list (a To: or Cc: value) holds
//                    the address, ASCII capitals and small letters alike:
//                    elements parted by commas outside quotes, comments
//                    and angle brackets, each either "display name <addr>"
//                    or a bare address with comments around it; a group's
//                    "name:" and ";" are read as parts of the list.
//   replied_within   whether the record holds the sender (lower-cased)
//                    answered at a time from now - kReplyInterval + 1 up
//                    to now.
//   record_reply     the record with the sender's line (lower-cased) at
//                    the end at time now, its older line and every line
//                    that is not "ADDRESS UNIXTIME" dropped, and the oldest
//                    lines dropped until at most kRepliedMaxLines lines and
//                    kRepliedMaxBytes bytes remain.
//   autorespond      judges the message (its header as read_header gave
//                    it, whole says whether it ended in bounds) and sends
//                    the reply as above. replied true when the reply was
//                    queued; note is the reason no reply was sent, or what
//                    failed; empty when a reply was sent and recorded.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// The most of a message's header the program reads and judges.
inline constexpr size_t kAutorespondHeaderMax = 64 * 1024;
// A sender is answered at most once in this many seconds.
inline constexpr time_t kReplyInterval = 7 * 24 * 60 * 60;
// The record of answered senders keeps at most these many lines and bytes.
inline constexpr size_t kRepliedMaxLines = 1000;
inline constexpr size_t kRepliedMaxBytes = 64 * 1024;
// The vacation folder's subject and text files are read up to these sizes;
// a longer one sends no reply.
inline constexpr size_t kVacationSubjectMax = 1024;
inline constexpr size_t kVacationTextMax = 64 * 1024;
// A sender longer than this is never answered (no mail path is).
inline constexpr size_t kReplySenderMax = 320;

struct HeaderField {
  std::string name;
  std::string value;
};

// What the delivery program's environment says of the message.
struct AutorespondRequest {
  std::string dir;        // the mailbox directory (the program's argument)
  std::string sender;     // SENDER
  std::string recipient;  // RECIPIENT
  std::string host;       // HOST
  time_t now = 0;
};

struct AutorespondOutcome {
  bool replied = false;
  std::string note;
};

bool read_header(int fd, std::string& header);

std::vector<HeaderField> parse_header(std::string_view header);

bool address_list_has(std::string_view list, std::string_view address);

bool replied_within(std::string_view record, std::string_view sender, time_t now);

std::string record_reply(std::string_view record, std::string_view sender, time_t now);

AutorespondOutcome autorespond(const AutorespondRequest& request, std::string_view header,
                               bool whole);

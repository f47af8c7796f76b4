// Delivering one message to one recipient of a hosted domain, as qmail's
// qmail-local hands it to the store's delivery program from the domain's
// .qmail-default: the message on a descriptor, the recipient and envelope
// in qmail-local's environment, and the line's second argument saying what
// becomes of mail for a recipient without a mailbox.
//
// The outcome is qmail-command's: 0 delivered, 99 delivered and the rest of
// the calling dot-qmail file skipped, 100 bounced (permanent; the reason is
// the one line qmail quotes back to the sender), 111 deferred (qmail tries
// again later). Every failure of the store (users/cdb or tpasswd.cdb
// unreadable, a lock that stays busy, a maildir that cannot be written, a
// full disk) is 111: a message is never lost to a passing fault.
//
// A maildir is written the maildir way: a new file in tmp/ named
// TIME.MUSECPPID.HOST,S=SIZE (SIZE counts the Return-Path and Delivered-To
// lines put before the message), synced, linked into new/ under the same
// name (never over an existing one), new/ synced, the tmp/ name removed.
// A delivery killed at any moment leaves nothing in new/ but whole
// messages; a delivery reported done is on disk. tmp/ and new/ are reached
// from the maildir's descriptor and never through a symbolic link; message
// files are created 0600 and, when the program runs as root, given the
// domain's owner.
//
// Routines:
//   open_message      the message on fd as a seekable descriptor: fd itself
//                     when it is a plain file (the message runs from its
//                     current offset to its end), else a private memory
//                     file holding a copy of everything fd gives. false
//                     (errno set) when fd cannot be read or copied.
//   HeaderScan        looks through a message's header (the lines before
//                     the first empty one, "\r" before a "\n" ignored) for
//                     one line, ASCII capitals and small letters alike:
//                     feed() takes the next bytes and is false once the
//                     header has ended; found() says whether the line was
//                     there. An empty line sought is never found. Holds no
//                     more than one line's worth of the sought length.
//   header_has_line   HeaderScan over a whole message on its descriptor;
//                     a read error counts as not found.
//   deliver_message   delivers as described above: the mailbox EXT (DEFAULT
//                     when EXT is empty), lower-cased, of the domain HOST (an
//                     alias domain's real domain). Loop (the header already
//                     has DTLINE): 100. No such mailbox: the no-mailbox
//                     argument decides (parse_no_mailbox): bounce 100,
//                     delete 0, a mailbox directory's Maildir/, or a forward
//                     to the address; an argument of none of these forms is
//                     111. The account's effective flags with bounce_mail:
//                     100. The mailbox's own .qmail (a plain file, not a
//                     link, at most kDotQmailReadMax bytes; any other
//                     failure to read it is 111), when it holds a delivery
//                     line, is followed line by line (parse_dot_qmail_line:
//                     programs through /bin/sh -c in the mailbox directory
//                     with the message on standard input; maildirs; forwards,
//                     all handed to qmail-queue together at the end); an mbox
//                     or unknown line is 111 before anything is delivered.
//                     Otherwise the message goes into the mailbox's
//                     Maildir/. The mailbox's quota applies to its own
//                     Maildir/: over it is 100, except for a message from the
//                     empty sender under kSmallBounceSize bytes; after each
//                     such delivery "SIZE 1" is appended to maildirsize.
//                     reason is empty on 0 and 99.
//   maildir_deliver   one message into one maildir (a path), with the
//                     quota text that applies ("" or NOQUOTA: none). What
//                     deliver_message does for each maildir.
//   queue_forward     hands the message, after the given Delivered-To line,
//                     to qmail-queue (site's qmail_queue_program) with the
//                     envelope "F" sender and one "T" per recipient: 0, 100
//                     when qmail-queue refuses it for good (exit 11 to 40),
//                     else 111.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kDeliveryDone = 0;
inline constexpr int kDeliveryStop = 99;
inline constexpr int kDeliveryBounce = 100;
inline constexpr int kDeliveryDefer = 111;

// A message from the empty sender smaller than this still reaches a full
// mailbox: the bounce or notice is about the mailbox's own mail.
inline constexpr off_t kSmallBounceSize = 2048;

inline constexpr char kNoMailboxReason[] = "Sorry, no mailbox here by that name. (#5.1.1)";
inline constexpr char kLoopReason[] =
    "This message is looping: it already has my Delivered-To line. (#5.4.6)";
inline constexpr char kOverQuotaReason[] = "The mailbox is over its quota. (#5.2.2)";
inline constexpr char kBounceMailReason[] =
    "Sorry, this mailbox does not accept mail. (#5.2.1)";

// What qmail-local gives a delivery command, and the .qmail-default line's
// second argument.
struct DeliveryRequest {
  std::string sender;     // SENDER
  std::string recipient;  // RECIPIENT
  std::string host;       // HOST
  std::string ext;        // EXT
  std::string default_ext;  // DEFAULT
  std::string dtline;     // DTLINE: "Delivered-To: ...\n"
  std::string rpline;     // RPLINE: "Return-Path: <...>\n"
  std::string no_mailbox;
};

// The message: a readable, seekable descriptor and the byte range it holds.
struct Message {
  int fd = -1;
  off_t start = 0;
  off_t size = 0;
};

struct DeliveryOutcome {
  int status = kDeliveryDone;
  std::string reason;
};

bool open_message(int fd, Message& message);

class HeaderScan {
 public:
  explicit HeaderScan(std::string_view line);
  bool feed(std::string_view bytes);
  bool found() const { return found_; }

 private:
  void end_line();

  std::string want_;
  std::string line_;
  bool long_line_ = false;
  bool in_header_ = true;
  bool found_ = false;
};

bool header_has_line(const Message& message, std::string_view line);

DeliveryOutcome deliver_message(const DeliveryRequest& request, const Message& message);

DeliveryOutcome maildir_deliver(const std::string& maildir, const std::string& quota_text,
                                const DeliveryRequest& request, const Message& message,
                                uid_t uid, gid_t gid);

DeliveryOutcome queue_forward(const Message& message, std::string_view dtline,
                              const std::string& sender,
                              const std::vector<std::string>& recipients);

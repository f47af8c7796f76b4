// A mailbox's own routing: its forwards (with or without a copy kept in
// its Maildir/) and its vacation reply, kept as qmail-local follows them in
// the mailbox's .qmail, with the vacation reply's settings in the
// mailbox's vacation/ folder, which the vacation program reads.
//
// Owns the one writer of a mailbox's .qmail. Its lines, in this order:
//   "|HOME/bin/tessera-autorespond DIR"  when a vacation reply is set (HOME
//                     the store home, DIR the mailbox directory);
//   "&ADDRESS"        for each forward, in the order given;
//   "./Maildir/"      when mail still reaches the mailbox: forwards with the
//                     copy kept, or a vacation reply without forwards.
// No forward and no vacation reply: the .qmail is removed, and delivery
// goes to Maildir/ again. The vacation folder holds "subject" (one line),
// "message" (the text, "\r\n" made "\n"), "until" ("YYYY-MM-DD\n", only
// with a last day) and "replied" (the program's own record, emptied each
// time the reply is set). Files are mode 0600, the folder 0700, all owned
// by the domain's uid and gid (where the process may give them away);
// each file is replaced through a private copy and a rename, never written
// through a link, and a .qmail or vacation folder that is a link, or no
// plain file or folder, is refused rather than followed.
//
// A .qmail holding lines this writer does not make (another program, a
// mailbox file, a maildir elsewhere) is left alone: the change is refused,
// so a hand-written delivery is never lost to a form. Comments and empty
// lines are dropped on the next write.
//
// Counts. A domain's maxforwards caps how many of its mailboxes have
// forwards, maxautoresponders how many have a vacation reply (a negative
// count: no cap). A mailbox that already has one may change it at the cap.
// Every change holds the domain's routing lock (DIR/.routing.lock) from
// the count to the last write, so two changes cannot both take the last
// place.
//
// Routines (results: 0, or a store code: the routing refusals of
// base/error.h among them, whose messages accounts/routing.h's
// routing_error_string gives; a destination is checked by its
// destination_address, the one rule for aliases and forwards):
//   vacation_date_ok  0 for "" or a real calendar day written YYYY-MM-DD;
//                     else kErrBadDate.
//   compose_mailbox_qmail  the .qmail text for the settings ("" when there
//                     is nothing to write). Pure.
//   read_mailbox_routing  what the mailbox's .qmail and vacation folder say
//                     now: kErrNoUser / kErrNoDomain when there is no such
//                     mailbox, kErrDotQmail when the .qmail cannot be read
//                     as a plain file, kErrForeignLines when it holds
//                     lines of another writer (routing still filled with
//                     what was understood).
//   set_mailbox_forwards  replaces the forwards (an empty list removes them
//                     and keep with them), keeping the vacation reply as it
//                     is. Destinations are checked (kErrBadDestination),
//                     lower-cased in their domain part, a repeat dropped;
//                     the mailbox's own address is refused
//                     (kErrBadDestination: it would loop), more than
//                     kForwardsPerMailboxMax is kErrTooManyForwards. Then
//                     kErrForwardLimit (only when the mailbox had no
//                     forwards yet), read_mailbox_routing's codes,
//                     kErrFailed (the lock), kErrUpdateFile (a write).
//   set_mailbox_vacation  sets or changes the vacation reply, keeping the
//                     forwards. kErrBadSubject (empty, a line break or
//                     NUL, or longer than kVacationSubjectMax),
//                     kErrBadText (longer than kVacationTextMax, or a
//                     NUL), kErrBadDate, kErrVacationLimit (only
//                     when the mailbox had no reply yet), then as
//                     set_mailbox_forwards.
//                     The folder's files are written before the .qmail
//                     names the program, so it never runs without them.
//   remove_mailbox_vacation  takes the program line out of the .qmail, then
//                     removes the vacation folder. 0 also when there was
//                     none; codes as set_mailbox_forwards.
// On a failure nothing the routine had not yet reached is changed; a
// failed .qmail write leaves the old .qmail (vacation files already
// written stay, unread while the .qmail does not name the program).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/mailbox.h"

inline constexpr size_t kForwardsPerMailboxMax = 100;
inline constexpr size_t kVacationSubjectMax = 200;
inline constexpr size_t kVacationTextMax = 16 * 1024;

struct VacationSettings {
  std::string subject;
  std::string text;
  std::string until;  // "" or YYYY-MM-DD
};

struct MailboxRouting {
  std::vector<std::string> forwards;
  bool keep_copy = false;  // a ./Maildir/ line beside the forwards
  bool vacation = false;   // the .qmail runs the vacation program
  VacationSettings settings;  // as the folder holds them (read when vacation)
};

int vacation_date_ok(std::string_view text);

std::string compose_mailbox_qmail(std::string_view home, std::string_view dir,
                                  const std::vector<std::string>& forwards, bool keep_copy,
                                  bool vacation);

int read_mailbox_routing(const Mailbox& mailbox, MailboxRouting& routing);
int set_mailbox_forwards(const Mailbox& mailbox, const std::vector<std::string>& forwards,
                         bool keep_copy);
int set_mailbox_vacation(const Mailbox& mailbox, const VacationSettings& settings);
int remove_mailbox_vacation(const Mailbox& mailbox);

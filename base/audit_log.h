// The audit log: one line for every request that asks to change the store,
// from the pages and from tessera alike, whether it was carried out, failed
// or was refused. It lives in etc/larkspur.log under the store home
// (audit_log_file) and may be rotated by renaming it: the next line starts a
// new file.
//
// Line: "TIME\tADMIN\tADDRESS\tCOMMAND\tOBJECT\tRESULT\n", TIME in UTC as
// 2026-12-08T23:59:59Z. Each field passes through audit_field, so a line is
// always exactly one line with six fields whatever the request held.
//
// Routines:
//   audit_field   the field as written: "-" for an empty text; every control
//                 byte (below 0x20, and 0x7F), tab and backslash written as
//                 "\xHH" (upper-case hex); cut to at most 200 bytes, never
//                 inside an "\xHH". Cannot fail.
//   audit_time    TIME for a clock value.
//   audit_line    the whole line of a record, newline included.
//   audit_append  appends a line to the log with one write on a descriptor
//                 opened O_APPEND (so lines of concurrent processes never
//                 mix). The etc folder is reached and the log opened without
//                 following a link at either step; the log must be a plain
//                 file (a FIFO, device or folder there is a failure, and the
//                 open never waits). A missing folder is made with mode 0755,
//                 a missing log with 0600, each given to the owner of the
//                 store home (the store's user), whoever runs the process.
//                 0, or -1 when the folder, the file or the write failed; a
//                 folder or log this call made but could not give away is
//                 removed again. A lost line never changes what a request
//                 did, but the caller must say so (kAuditNotWritten).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// What a page (as a message) and tessera (on stderr) say when a change was
// carried out but its line could not be written: a change is never left
// silently unlogged.
inline constexpr char kAuditNotWritten[] =
    "The change was made but could not be written to the audit log";

// The longest field of a line, in bytes as written.
inline constexpr size_t kAuditFieldMax = 200;

struct AuditRecord {
  time_t time = 0;
  std::string_view admin;    // the administrator, or "tessera:" + the user
  std::string_view address;  // the client's address
  std::string_view command;  // in small letters
  std::string_view object;   // the domain, address or file the request names
  std::string_view result;   // what the request reported
};

std::string audit_field(std::string_view text);

std::string audit_time(time_t when);

std::string audit_line(const AuditRecord& record);

int audit_append(const std::string& line);

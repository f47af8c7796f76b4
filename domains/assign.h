// qmail's domain tables: users/assign (compiled by qmail-newu into
// users/cdb), control/rcpthosts, control/morercpthosts (compiled by
// qmail-newmrh), control/virtualdomains and control/locals. This module keeps
// them in step when a domain or alias domain comes or goes, and is the one
// way a domain name becomes its directory, uid and gid.
//
// Entry lines of users/assign: "+NAME-:REAL:UID:GID:DIR:-::", in sort-key
// order, the file ended by a line ".". users/cdb maps "!NAME-" to the
// NUL-ended fields REAL, UID, GID, DIR, ...; only qmail-newu writes it.
//
// Owns the process-wide lookup cache (the real domain, directory, uid and gid
// of the last successful lookup, kept with the site root it was read under
// and never answered under another root); an iteration is an object that holds its
// own open file and entry.
//
// Routines:
//   tget_assign        the directory of a domain, or nullptr when the name is
//                      empty, users/cdb is unreadable or the name is unknown.
//                      The name comes normalised (a DomainName) and is looked
//                      up as it is; on success the real domain's name (at
//                      most 96 characters) goes into real_domain and the
//                      other outputs given are filled. The result points
//                      into the cache: valid until the next lookup. A
//                      directory asked for that does not fit dir_size (with
//                      its terminator) is refused, never cut: nullptr,
//                      nothing filled. Sets no error code (callers use
//                      kErrNoDomain).
//   assign_add_domain  enters a real or alias domain into users/assign (then
//                      qmail-newu), rcpthosts or, once rcpthosts holds 50
//                      lines, morercpthosts (then qmail-newmrh), and
//                      virtualdomains, and takes it out of locals (a missing
//                      locals stays missing). Every table it touches ends
//                      mode 0644. 0; kErrFailed after a message naming the
//                      file that failed (the steps before stay done); or
//                      kErrUpdateFile when every table was written but
//                      qmail-newu or qmail-newmrh failed (run_qmail_newu's
//                      message): the entries stay, and the store check
//                      compiles them.
//   assign_remove_domains  removes the entry lines of the names (all of one
//                      real domain) from users/assign, sets 0644, runs
//                      qmail-newu and empties the lookup cache. 0 (also when
//                      no line went), kErrFailed after a message, or
//                      kErrUpdateFile when the lines went but qmail-newu
//                      failed.
//   remove_control_entries  takes the names out of rcpthosts, morercpthosts
//                      (recompiled, or deleted with its .cdb once empty) and
//                      virtualdomains; missing files stay missing, changed
//                      files end mode 0644. 0, kErrFailed when a file failed,
//                      or kErrUpdateFile when the files were written but
//                      qmail-newmrh failed.
//   AssignEntries      iteration over users/assign, made with a name
//                      (possibly empty): next() gives the entries whose real
//                      domain is that name's real domain (all for ""), then
//                      nullptr (last_error untouched); nullptr with
//                      last_error kErrAssignFile when the file could not be
//                      opened (opened() tells beforehand). The entry is
//                      overwritten by the next call.
//   run_qmail_newu, run_qmail_newmrh   run the tool and wait. 0 when it
//                      exited 0; else kErrUpdateFile after "qmail-newu
//                      failed: exit N\n" (or qmail-newmrh) on stderr, N as
//                      the shell gives it: 127 when the tool could not be
//                      started, 128 + the signal that killed it. What the tool
//                      compiles stays as the tool left it.
//   add_control_host   the name into rcpthosts, or morercpthosts once
//                      rcpthosts holds 50 lines (then qmail-newmrh), as
//                      assign_add_domain enters it. 0, kErrFailed after a
//                      message, or kErrUpdateFile when qmail-newmrh failed.
//   add_virtual_domain the line NAME:NAME into virtualdomains, as
//                      assign_add_domain enters it. 0, or kErrFailed after a
//                      message.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/mailbox.h"

// The longest domain name a lookup hands back, and the name buffer a
// caller of tget_assign keeps (a name of 96 characters and its end).
inline constexpr size_t kDomainNameMax = 96;
inline constexpr size_t kAssignNameBuffer = 97;

struct AssignEntry {
  DomainName name;          // the name the entry answers for, without "-"
  DomainName real_domain;   // the domain that owns the mail
  int32_t uid = 0;
  int32_t gid = 0;
  std::string dir;          // the real domain's directory
};

const char* tget_assign(const DomainName& name, std::string* dir, size_t dir_size, uid_t* uid,
                        gid_t* gid, std::string* real_domain = nullptr);

// Empties the lookup cache, so the next lookup reads users/cdb again: for a
// caller that has just rewritten the table under the same root.
void tget_assign_forget();

// Whether tget_assign knows the name, as a real or an alias domain; the
// caller's name is left as it is.
bool domain_exists(const DomainName& name);

// Where a domain's mail lives: the real domain's name (an alias resolved),
// its directory, at most 299 characters, and its owner.
struct DomainHome {
  std::string dir;
  uid_t uid = 0;
  gid_t gid = 0;
  DomainName domain;
};

// tget_assign with its outputs gathered: the name is looked up as it is.
// None when the table does not know the name.
std::optional<DomainHome> find_domain_home(const DomainName& name);

StoreError assign_add_domain(const std::string& name, const std::string& real_domain,
                      const std::string& dir, uid_t uid, gid_t gid);

StoreError assign_remove_domains(const std::string* names, int count, const std::string& real_domain,
                          const std::string& dir, uid_t uid, gid_t gid);

StoreError remove_control_entries(const std::vector<std::string>& names);

class LineReader;

class AssignEntries {
 public:
  explicit AssignEntries(const DomainName& name);
  ~AssignEntries();
  AssignEntries(const AssignEntries&) = delete;
  AssignEntries& operator=(const AssignEntries&) = delete;

  bool opened() const { return file_ != nullptr; }
  const AssignEntry* next();

 private:
  std::unique_ptr<LineReader> file_;
  std::string match_;
  AssignEntry entry_;
};

StoreError add_control_host(const std::string& name);
StoreError add_virtual_domain(const std::string& name);

StoreError run_qmail_newu();
StoreError run_qmail_newmrh();

// The entry line of users/assign for a name, without its newline.
std::string assign_entry_line(const std::string& name, const std::string& real_domain,
                              uid_t uid, gid_t gid, const std::string& dir);

// One line of users/assign as a reader of the table splits it: at runs of
// the syntax's separators, leading ones passed over. The store's reader
// takes kStoreAssignSyntax: colons only, the line begins with "+", its
// first field is NAME- with a dot in NAME, and five fields follow the "+"
// (name is NAME). The domain list takes kViewAssignSyntax: space, colon,
// tab, CR and LF, no leading "+" nor dot needed, two fields enough (name is
// the first field less its first and last characters, empty when it is
// shorter than two). None for a line that does not fit the syntax. The
// views point into the line; a field the line lacks is empty.
struct AssignSyntax {
  std::string_view separators;
  bool entry_form;  // "+", NAME- with a dot, five fields
};
inline constexpr AssignSyntax kStoreAssignSyntax{":", true};
inline constexpr AssignSyntax kViewAssignSyntax{" :\t\n\r", false};

struct AssignSplit {
  std::string_view name;
  std::string_view real_domain;
  std::string_view uid;
  std::string_view gid;
  std::string_view dir;
};
std::optional<AssignSplit> split_assign_line(std::string_view line, const AssignSyntax& syntax);

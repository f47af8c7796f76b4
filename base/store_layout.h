// The store's layout below the fixed places of base/site.h: the names of
// the files and folders kept in the store's domains tree, in a domain's
// directory and in a mailbox, and the paths built from them. Each name is
// spelt here and nowhere else; a module that needs a store file asks for
// its path (or, when it walks a directory, for the bare name).
//
// The path builders only join text: they touch no file, never fail and
// never cut. DIR is a domain's directory, MAILBOX a mailbox's directory,
// both without a final "/"; HOME is the store home.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// The store home's tree of domain directories, and the level that holds the
// domains of one uid ("dom_" + the uid in decimal).
inline constexpr std::string_view kDomainsDirName = "domains";
inline constexpr std::string_view kDomainsLevelPrefix = "dom_";
inline constexpr std::string_view kUsersDirName = "users";

// A domain directory's files.
inline constexpr std::string_view kLimitsFileName = ".kestrel-limits";
inline constexpr std::string_view kPasswdFileName = "tpasswd";
inline constexpr std::string_view kPasswdIndexName = "tpasswd.cdb";
inline constexpr std::string_view kPasswdLockName = ".tpasswd.lock";
inline constexpr std::string_view kPasswdBackupName = "tpasswd.bak";
inline constexpr std::string_view kIndexTempName = "cdb.tmp";
inline constexpr std::string_view kDirControlName = ".dir-control";
inline constexpr std::string_view kFreeListName = ".dir_control_free";
// A domain's delivery instructions: .qmail-EXT, "." in EXT written ":".
inline constexpr std::string_view kDotQmailPrefix = ".qmail-";
inline constexpr std::string_view kQmailDefaultName = ".qmail-default";
// The lock that serialises changes of the domain's mailbox routing (its
// forwards and vacation replies), so a domain's counts hold.
inline constexpr std::string_view kRoutingLockName = ".routing.lock";

// A mailbox's files and its maildir's parts.
inline constexpr std::string_view kLastauthName = "lastauth";
inline constexpr std::string_view kMaildirName = "Maildir";
inline constexpr std::string_view kMaildirSizeName = "maildirsize";
// A mailbox's own delivery instructions (forwards, a kept copy, the
// vacation reply's program line), and the vacation reply's folder: its
// subject line, its text, its optional last day (YYYY-MM-DD) and the
// record of whom it has answered when.
inline constexpr std::string_view kMailboxDotQmailName = ".qmail";
inline constexpr std::string_view kVacationDirName = "vacation";
inline constexpr std::string_view kVacationSubjectName = "subject";
inline constexpr std::string_view kVacationMessageName = "message";
inline constexpr std::string_view kVacationUntilName = "until";
inline constexpr std::string_view kVacationRepliedName = "replied";
// The store's programs in HOME/bin: the vacation reply's, which a
// mailbox's .qmail runs.
inline constexpr std::string_view kStoreBinDirName = "bin";
inline constexpr std::string_view kAutorespondProgramName = "tessera-autorespond";

// HOME/domains, and HOME/domains/ + tree (tree "" gives HOME/domains/).
std::string store_domains_dir(std::string_view home);
std::string store_domains_path(std::string_view home, std::string_view tree);

// HOME/users: the mailboxes of the store's domain-less accounts, beside
// their password file.
std::string store_users_dir(std::string_view home);

// "dom_" + uid in decimal.
std::string domains_level_name(uid_t uid);

// DIR/NAME for a name of this layout (a walker's own joins).
std::string store_file(std::string_view dir, std::string_view name);

// DIR/.kestrel-limits.
std::string domain_limits_file(std::string_view dir);

// DIR/tpasswd, DIR/tpasswd.cdb, DIR/.tpasswd.lock, DIR/cdb.tmp (the index
// being built) and DIR/tpasswd.bak.PID (the rewrite's old copy).
std::string passwd_file(std::string_view dir);
std::string passwd_index(std::string_view dir);
std::string passwd_lock(std::string_view dir);
std::string passwd_index_temp(std::string_view dir);
std::string passwd_backup(std::string_view dir, pid_t pid);

// DIR/.dir-control and DIR/.dir_control_free; HOME/domains/.dir-control
// for the domains level.
std::string dir_control_file(std::string_view dir);
std::string dir_free_list(std::string_view dir);
std::string domains_dir_control_file(std::string_view home);

// DIR/.qmail-default.
std::string qmail_default_file(std::string_view dir);

// DIR/.routing.lock.
std::string domain_routing_lock(std::string_view dir);

// MAILBOX/lastauth, and MAILBOX/Maildir/ (with its final "/").
std::string mailbox_lastauth(std::string_view mailbox);
std::string mailbox_maildir(std::string_view mailbox);
// MAILBOX/.qmail, MAILBOX/vacation and MAILBOX/vacation/ + NAME.
std::string mailbox_dot_qmail(std::string_view mailbox);
std::string mailbox_vacation_dir(std::string_view mailbox);
std::string mailbox_vacation_file(std::string_view mailbox, std::string_view name);
// HOME/bin/tessera-autorespond.
std::string autorespond_program(std::string_view home);

// Where a maildir path's mailbox part ends: the offset of "/Maildir/" past
// the first character, or of a final "/Maildir"; npos when neither.
size_t maildir_suffix_at(std::string_view path);

// A maildir's parts: "Maildir", "Maildir/new", "Maildir/cur", "Maildir/tmp".
inline constexpr std::string_view kMaildirParts[] = {"Maildir", "Maildir/new", "Maildir/cur",
                                                     "Maildir/tmp"};

// MAILDIR + "maildirsize" (MAILDIR ends in "/").
std::string maildir_size_file(std::string_view maildir);

// A domain's dot-qmail files (aliases, .qmail-default) are replaced through
// a private copy DIR/.dot-qmail.PID: outside the .qmail- names, so no
// address ever reaches a half-written copy.
inline constexpr std::string_view kDotQmailCopyName = ".dot-qmail";

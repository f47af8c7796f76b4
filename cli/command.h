// The tessera tool's command groups and their shared conventions.
//
// A command gets the words after its group's name ("domain add NAME" gives
// the domain group {"add", "NAME"}). It returns the process's exit status:
// 0 on success (a command that changes the store has said what it did, in
// one line on stdout); 1 after the store's message (error_string) or the
// tool's own on stderr; kUsageStatus when the words do not form a command of the group,
// in which case main prints the usage text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Words = std::vector<std::string>;

inline constexpr int kUsageStatus = 2;

int domain_command(const Words& words);
int limits_command(const Words& words);
int user_command(const Words& words);
int init_command(const Words& words);
int check_command(const Words& words);

// alias add|del|show|list, and domain catchall NAME [CHOICE] with the words
// after "catchall" (routing_command.cc).
int alias_command(const Words& words);
int domain_catchall(const Words& words);

// domain usage [NAME] (usage_report.cc); user import (import_command.cc).
int domain_usage(const Words& names);
int import_command(const Words& words);

// user forward|vacation ADDRESS ... (mailbox_routing_command.cc), and the forwards
// and vacation reply `user show` adds: plain lines only when there are
// some, or members of the JSON object given.
class JsonObject;
struct Mailbox;
int routing_command(const Words& words);
void show_routing(const Mailbox& mailbox, JsonObject* json);

// The clear password of a command (password_input.cc): one line of standard
// input without its "\n" (for a PASSWORD of "-"), or asked twice on the
// terminal with echo off (for none). None after a message on stderr: no
// line, a NUL byte in it, no terminal, or two answers that differ.
std::optional<std::string> password_from_stdin();
std::optional<std::string> password_from_terminal();

// Prints the message of a store code on stderr and gives the failure status.
int report_failure(int32_t code);

// The paths of qmail's tools that the store runs after changing qmail's
// tables (qmail-newu, qmail-newmrh) that are missing or that no one may
// execute (init_command.cc); init and check name them.
std::vector<std::string> unusable_qmail_tools();

// Prints a message of the tool's own on stderr and gives the failure status.
int report_failure(const char* message);

// The end of a changing command: for code 0, "OBJECT: WHAT" on stdout and
// status 0 (the changing commands have no JSON form: the line prints with
// --json too); otherwise as report_failure(code).
int report_done(int32_t code, const std::string& object, const std::string& what);

// Leaves the audit line of a change: ADMIN "tessera:" and the user running
// the tool, ADDRESS "-", the command, the object as given (names already
// lower-cased), RESULT "ok" or "exit N" for a status, else the text given.
// When the line cannot be written, "tessera: " and the audit log's own
// message on stderr; the command's result and status stay as they are.
void audit_change(const std::string& command, const std::string& object,
                  const std::string& result);
void audit_change(const std::string& command, const std::string& object, int status);

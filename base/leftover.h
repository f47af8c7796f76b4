// Leftovers of writers that died half-way: the names a writer gives its
// private work, and the rule that tells a dead writer's work from a live
// one's.
//
// Every private copy (TempFile: TARGET.PID) and every pending directory
// (".NAME.PID": a mailbox or domain directory while it is built, before it
// appears at NAME, or while it is taken apart, after it left NAME) carries
// the process id of its writer. The store check finds them by these names.
// A name's shape alone proves nothing: a mailbox or domain made before new
// names were refused a "." in front may look just like a pending one, so a
// directory that a password line or users/assign names is never a leftover,
// whatever its name (the store check asks those first).
//
// Routines:
//   pending_name_for  ".NAME.PID" for this process.
//   pending_target    the NAME and PID a pending name ".NAME.PID" was made
//                     for; none for any other name.
//   copy_pid          the PID of a private copy TARGET.PID of target; none
//                     for any other name.
//   writer_is_gone    whether the work at path, made by pid, is a dead
//                     writer's: no process has that pid, or the work is
//                     older than kLeftoverAge. A path that cannot be read is
//                     nobody's (false).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::chrono::seconds kLeftoverAge{60};

std::string pending_name_for(std::string_view name);

struct PendingName {
  std::string name;
  pid_t pid = 0;
};
std::optional<PendingName> pending_target(std::string_view entry);

std::optional<pid_t> copy_pid(std::string_view entry, std::string_view target);

bool writer_is_gone(const std::string& path, pid_t pid);

// Telling a running program to reload, found by name in the process
// listing ("ps aux"), as the store tells qmail-send after a domain change.
//
//   send_signal_by_name  sends the signal to every process whose listing line
//                        contains name and none of "supervise", "multilog"
//                        or "svscan"; never to the caller itself, and only
//                        to a positive process id (never a process group).
//                        The pid is read from the column the header names
//                        "PID" (the first when none does), at most 9 digits.
//                        A line is read up to 1023 characters; the rest of a
//                        longer one is dropped, never taken for a line of
//                        its own. An empty name signals nothing. 0, or -1
//                        when the listing cannot be started ("popen on ps
//                        command: ERROR\n" on stderr). Delivery is not
//                        checked.
#pragma once

#include <string>

int send_signal_by_name(const std::string& name, int signal_number);

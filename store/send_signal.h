// Telling a running program to reload, found by name in the process
// listing ("ps aux"), as the store tells qmail-send after a domain change.
//
//   send_signal_by_name  sends the signal to every process whose listing line
//                        contains name and none of "supervise", "multilog"
//                        or "svscan"; never to the caller itself. 0, or -1
//                        when the listing cannot be started ("popen on ps
//                        command: ERROR\n" on stderr). Delivery is not
//                        checked.
#pragma once

#include <string>

int send_signal_by_name(const std::string& name, int signal_number);

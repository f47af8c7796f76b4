// Telling a running program to reload, found by name in the process
// listing ("ps aux"), as the store tells qmail-send after a domain change.
//
//   send_signal_by_name  sends the signal to every process one word of whose
//                        command line (from the column the header names
//                        "COMMAND", every word when none does), taken as a
//                        path, has name as its whole last part ("qmail-send"
//                        and "/var/qmail/bin/qmail-send" for "qmail-send"; a
//                        name that is itself a path must end such a word at
//                        a "/"), and whose line holds none of "supervise",
//                        "multilog" or "svscan"; never to the caller itself,
//                        and only to a positive process id (never a process
//                        group).
//                        The pid is read from the column the header names
//                        "PID" (the first when none does), at most 9 digits.
//                        A line is read up to 1023 characters; the rest of a
//                        longer one is dropped, never taken for a line of
//                        its own. An empty name signals nothing. 0, or -1
//                        when the listing cannot be started ("popen on ps
//                        command: ERROR\n" on stderr). Delivery is not
//                        checked.
//
//   hang_up_qmail_send   tells qmail-send to reload (signal 1 to every process
//                        qmail_send_match() names). A process running as root
//                        signals it itself; any other (the store's user, who
//                        may not signal root's qmail-send) runs the signal
//                        helper, tessera_home() + "/bin/tessera-hup", a setuid
//                        program that does only this, and waits for it; a
//                        sandbox root reaches the helper as LARKSPUR_ROOT.
//                        0, or -1 when the listing or the helper cannot be
//                        started (a helper that cannot be run says so on
//                        stderr). Delivery is not checked.
//   signal_helper_path   where that helper is looked for.
#pragma once

#include <string>

int send_signal_by_name(const std::string& name, int signal_number);
int hang_up_qmail_send();
std::string signal_helper_path();

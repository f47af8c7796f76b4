// The usage daemon's client: asks a running usage daemon for a mailbox's
// size in bytes and its message count, so that quota checks need not count
// files. Finds its settings in tmeterc.conf (label "Server"), connects over
// a local or TCP stream socket with a time-out, sends one query and reads
// the fixed 16-byte answer.
//
// Routines return 1 for success and 0 for failure; every failure leaves no
// connection open, and callers then count the mailbox themselves.
// Messages go to stderr (the configuration reader's own to stdout).
//
// Settings (atoms of the label "Server", names in any case):
//   Disable   "True" in any case switches the client off
//   Timeout   seconds for the connection and for the answer (default 1;
//             a value below 1 is reported and 1 used)
//   Remote    IPV4:PORT of a TCP daemon; Filename is then not looked at
//   Filename  the daemon's local socket, required without Remote; one of
//             more than 106 characters is unusable (never cut)
// tmeterc.conf is looked for in the home of the system user "tessera"
// (HOME/etc/tmeterc.conf), then as tmeterc.conf, etc/tmeterc.conf and
// .//tmeterc.conf in the current directory; the first that loads wins.
//
// Wire format, one query per connection: a 2-byte big-endian length and
// that many bytes of text; the answer is 16 bytes, the size and the count
// as unsigned 64-bit big-endian numbers, taken from one read.
//
// No write to the daemon raises SIGPIPE.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

//   query_usage   1 with size and count set from the daemon's answer, or 0
//                 (no text, client switched off or not configured, daemon
//                 silent or unreachable). Every call reads the settings and
//                 opens a new connection. Never raises SIGPIPE.
int query_usage(const char* text, uint64_t* size, uint64_t* count);

// An open connection to the daemon.
struct client_handle {
  int fd = -1;      // the connected socket, non-blocking
  int timeout = 1;  // seconds to wait for an answer
};

// Reads the settings and connects, waiting at most Timeout seconds. The
// handle, to be released with client_close, or nullptr: switched off or
// not configured (no message), a setting unusable, or the connection
// failed or timed out (a message on stderr).
client_handle* client_connect();

// Sends one query of `length` bytes (the length field holds its low 16
// bits, and as many bytes are sent) and waits for the answer. size and
// count are set to all ones first and keep that unless a whole answer
// arrives. 1 on a whole answer; 0 (with a message) on a failed write, a
// time-out, a lost connection or a short answer, and for no handle.
int client_query(client_handle* handle, const char* text, size_t length, uint64_t* size,
                 uint64_t* count);

// Closes the connection and releases the handle; nullptr is ignored.
void client_close(client_handle* handle);

// Reads "A.B.C.D:PORT" into an IPv4 socket address (port in network byte
// order). 0 without a ':', for a port that is not above 0, and for an
// address that does not read or reads as 255.255.255.255.
int parse_ip_port(const char* text, sockaddr_in* address);

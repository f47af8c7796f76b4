// The clear password of `user add` and `user passwd`, kept off the command
// line: an argument can be read by every local user in the process list for
// as long as the tool runs (it may wait for a lock), standard input and the
// terminal cannot.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "base/fd_guard.h"
#include "cli/command.h"

namespace {

constexpr size_t kPasswordLineMax = 4096;

// One line read from fd without its "\n"; none at the end of the input
// before any byte, or on a read error.
std::optional<std::string> read_line(int fd) {
  std::string line;
  char c;
  for (;;) {
    ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') return line;
    // Longer than any password the store keeps: refused as too long later.
    if (line.size() < kPasswordLineMax) line.push_back(c);
  }
}

// Asks on the terminal with echo off; the terminal's settings come back
// whatever happens. Echo goes off (and what was typed ahead is dropped)
// before the prompt shows, so nothing typed after it is ever echoed.
std::optional<std::string> ask(int tty, const char* prompt) {
  termios saved;
  if (tcgetattr(tty, &saved) != 0) return std::nullopt;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  if (tcsetattr(tty, TCSAFLUSH, &quiet) != 0) return std::nullopt;
  std::optional<std::string> answer;
  if (write_all(tty, prompt)) answer = read_line(tty);
  tcsetattr(tty, TCSANOW, &saved);
  return answer;
}

std::optional<std::string> fail(const char* message) {
  report_failure(message);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> password_from_stdin() {
  std::optional<std::string> line = read_line(STDIN_FILENO);
  if (!line) return fail("tessera: no password on standard input");
  // The password would be cut at a NUL byte, and the account given a
  // shorter one than its owner typed.
  if (line->find('\0') != std::string::npos) return fail("tessera: the password holds a NUL byte");
  return line;
}

std::optional<std::string> password_from_terminal() {
  FdGuard tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) return fail("tessera: cannot open the terminal to ask for the password");
  std::optional<std::string> first = ask(tty.get(), "New password: ");
  if (!first) return fail("tessera: no password read from the terminal");
  std::optional<std::string> second = ask(tty.get(), "Again: ");
  if (!second) return fail("tessera: no password read from the terminal");
  if (*first != *second) return fail("tessera: the two passwords differ; nothing changed");
  if (first->find('\0') != std::string::npos) return fail("tessera: the password holds a NUL byte");
  return first;
}

// tessera user forward|vacation: a mailbox's forwards and vacation reply
// (accounts/mailbox_routing.h), and what `user show` says of them.
//
//   user forward ADDRESS DEST... [--keep]    forwards replaced by DEST...
//   user forward ADDRESS --off               forwards removed
//   user vacation ADDRESS --subject S --text FILE|- [--until YYYY-MM-DD]
//   user vacation ADDRESS --off
//
// The options reach here after the other words, in the order typed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "accounts/mailbox_routing.h"
#include "accounts/routing.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/mailbox.h"

namespace {

int report_routing(int code, const std::string& address, const std::string& what) {
  if (code != 0) return report_failure(routing_error_string(code));
  return report_done(0, address, what);
}

// The reply's text from a file, or standard input for "-": none after a
// message when it cannot be read. One byte past the limit is enough to
// refuse a text that is too long.
std::optional<std::string> read_text(const std::string& name) {
  int fd = name == "-" ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "tessera: cannot read %s: %s\n", name.c_str(), strerror(errno));
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  bool failed = false;
  while (text.size() <= kVacationTextMax) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  int error = errno;
  if (fd != STDIN_FILENO) close(fd);
  if (failed) {
    fprintf(stderr, "tessera: cannot read %s: %s\n", name.c_str(), strerror(error));
    return std::nullopt;
  }
  return text;
}

std::string joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

int forward_command(const Mailbox& mailbox, const std::string& address, const Words& rest) {
  std::vector<std::string> forwards;
  bool keep = false, off = false;
  for (const std::string& word : rest) {
    if (word == "--keep") {
      keep = true;
    } else if (word == "--off") {
      off = true;
    } else {
      forwards.push_back(word);
    }
  }
  if (off == !forwards.empty() || (off && keep)) return kUsageStatus;
  int code = set_mailbox_forwards(mailbox, forwards, keep);
  if (off) return report_routing(code, address, "forwards removed");
  // The line names the destinations as the store keeps them.
  MailboxRouting now;
  if (code == 0) read_mailbox_routing(mailbox, now);
  return report_routing(code, address,
                        "forwarding to " + joined(now.forwards, ", ") +
                            (keep ? ", keeping a copy" : ""));
}

int vacation_command(const Mailbox& mailbox, const std::string& address, const Words& rest) {
  std::optional<std::string> subject, text_file, until;
  bool off = false;
  for (size_t i = 0; i < rest.size(); ++i) {
    const std::string& word = rest[i];
    std::optional<std::string>* value = word == "--subject" ? &subject
                                        : word == "--text"  ? &text_file
                                        : word == "--until" ? &until
                                                            : nullptr;
    if (word == "--off") {
      off = true;
    } else if (value != nullptr && i + 1 < rest.size()) {
      *value = rest[++i];
    } else {
      return kUsageStatus;
    }
  }
  if (off) {
    if (subject || text_file || until) return kUsageStatus;
    return report_routing(remove_mailbox_vacation(mailbox), address, "vacation reply removed");
  }
  if (!subject || !text_file) return kUsageStatus;
  std::optional<std::string> text = read_text(*text_file);
  if (!text) return 1;
  VacationSettings settings{*subject, *text, until.value_or("")};
  return report_routing(set_mailbox_vacation(mailbox, settings), address,
                        until ? "vacation reply set until " + *until : "vacation reply set");
}

}  // namespace

int routing_command(const Words& words) {
  if (words.size() < 3) return kUsageStatus;
  Mailbox mailbox;
  if (int code = parse_mailbox(words[1], mailbox); code != 0) return report_failure(code);
  const std::string address = mailbox.user + "@" + mailbox.domain.str();
  const Words rest(words.begin() + 2, words.end());
  if (words[0] == "forward") return forward_command(mailbox, address, rest);
  return vacation_command(mailbox, address, rest);
}

void show_routing(const Mailbox& mailbox, JsonObject* json) {
  MailboxRouting routing;
  int code = read_mailbox_routing(mailbox, routing);
  if (code != 0 && code != kErrForeignLines) return;
  if (json != nullptr) {
    JsonObject vacation;
    vacation.text("subject", routing.settings.subject)
        .text("text", routing.settings.text)
        .optional_text("until", routing.settings.until.empty()
                                    ? std::nullopt
                                    : std::optional<std::string>(routing.settings.until));
    json->document("forwards", json_text_array(routing.forwards))
        .boolean("keep_copy", routing.keep_copy);
    if (routing.vacation) {
      json->document("vacation", vacation.object());
    } else {
      json->null("vacation");
    }
    return;
  }
  if (!routing.forwards.empty()) {
    printf("forwards: %s%s\n", joined(routing.forwards, ", ").c_str(),
           routing.keep_copy ? " (copy kept)" : "");
  }
  if (routing.vacation) {
    printf("vacation: %s%s\n", routing.settings.subject.c_str(),
           routing.settings.until.empty()
               ? ""
               : (" (until " + routing.settings.until + ")").c_str());
  }
}

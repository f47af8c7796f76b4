// The vacation reply: judging a message by its envelope and header, the
// vacation folder's settings and record, and the reply handed to
// qmail-queue.
#include "accounts/autorespond.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "accounts/deliver.h"
#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/mailbox.h"
#include "base/safe_path.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "base/whole_file.h"
#include "domains/assign.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// A record longer than this is not read at all: the program never writes
// one, so it was planted, and answering on part of it could repeat a reply.
constexpr size_t kRepliedReadMax = 16 * kRepliedMaxBytes;
// Bytes of the subject put in one encoded word (60 in base64, so the word
// stays within the 75 characters a header's encoded word may take).
constexpr size_t kEncodedWordBytes = 45;

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) + 1 - first);
}

// The first word of a field's value: up to a blank, ";" or a comment.
std::string first_word(std::string_view value) {
  value = trimmed(value);
  return lowered(value.substr(0, value.find_first_of(" \t;(")));
}

AutorespondOutcome no_reply(const std::string& why) { return {false, "no reply: " + why}; }
AutorespondOutcome failed(std::string what) { return {false, std::move(what)}; }

// Where the header ends in text: past its empty line, searching for the
// line end before it from `from` on; npos while it has not ended.
size_t header_end(std::string_view text, size_t from) {
  if (text.starts_with("\n")) return 1;
  if (text.starts_with("\r\n")) return 2;
  for (size_t at = text.find('\n', from); at != std::string_view::npos;
       at = text.find('\n', at + 1)) {
    std::string_view rest = text.substr(at + 1);
    if (rest.starts_with("\n")) return at + 2;
    if (rest.starts_with("\r\n")) return at + 3;
  }
  return std::string_view::npos;
}

// Robots and lists answer with robots: their senders are never answered.
// A sender that could not stand in a To: line, or in the record's line,
// is not answered either.
std::optional<std::string> sender_refusal(std::string_view sender) {
  if (sender.empty()) return "the sender is empty";
  const std::string local = lowered(sender.substr(0, sender.rfind('@')));
  if (local == "mailer-daemon" || local.ends_with("-request") || local.starts_with("owner-")) {
    return "the sender is a mailer or a list";
  }
  bool plain = sender.size() <= kReplySenderMax && sender.find('@') != std::string_view::npos;
  for (unsigned char c : sender) plain = plain && c > ' ' && c != 0x7f;
  if (!plain) return "the sender cannot be answered";
  return std::nullopt;
}

std::optional<std::string> header_refusal(const std::vector<HeaderField>& fields) {
  for (const HeaderField& field : fields) {
    const std::string name = lowered(field.name);
    if (name == "auto-submitted" && first_word(field.value) != "no") {
      return "the message is automatic (" + field.name + ": " + first_word(field.value) + ")";
    }
    if (name == "precedence") {
      const std::string word = first_word(field.value);
      if (word == "bulk" || word == "list" || word == "junk") {
        return "the message is bulk mail (" + field.name + ": " + word + ")";
      }
    }
    if (name.starts_with("list-")) return "the message comes from a list (" + field.name + ":)";
  }
  return std::nullopt;
}

// The mailbox's own addresses: the mailbox directory's name at the
// recipient's domain (From: of the reply), the same at the real domain
// when that is an alias, and the envelope recipient.
struct MailboxAddresses {
  std::string from;
  std::vector<std::string> known;
};

MailboxAddresses mailbox_addresses(const AutorespondRequest& request) {
  MailboxAddresses own;
  std::string_view dir = request.dir;
  while (dir.ends_with('/')) dir.remove_suffix(1);
  const std::string user = lowered(dir.substr(dir.rfind('/') + 1));
  const DomainName host(request.host);
  if (!user.empty() && !host.str().empty()) {
    own.from = user + "@" + host.str();
    own.known.push_back(own.from);
    if (std::optional<DomainHome> home = find_domain_home(host)) {
      if (home->domain.str() != host.str()) own.known.push_back(user + "@" + home->domain.str());
    }
  }
  if (!request.recipient.empty()) {
    own.known.push_back(request.recipient);
    if (own.from.empty()) own.from = request.recipient;
  }
  return own;
}

bool addressed_to(const std::vector<HeaderField>& fields, const std::vector<std::string>& known) {
  for (const HeaderField& field : fields) {
    const std::string name = lowered(field.name);
    if (name != "to" && name != "cc") continue;
    for (const std::string& address : known) {
      if (address_list_has(field.value, address)) return true;
    }
  }
  return false;
}

// The message identifiers ("<...>") in a field's value, in order.
std::vector<std::string> message_ids(std::string_view value) {
  std::vector<std::string> ids;
  for (size_t open = value.find('<'); open != std::string_view::npos;
       open = value.find('<', open + 1)) {
    size_t close = value.find_first_of("<>", open + 1);
    if (close == std::string_view::npos || value[close] != '>' || close == open + 1) continue;
    std::string_view id = value.substr(open, close + 1 - open);
    bool plain = true;
    for (unsigned char c : id) plain = plain && c > ' ' && c < 0x7f;
    if (plain) ids.emplace_back(id);
  }
  return ids;
}

const HeaderField* find_field(const std::vector<HeaderField>& fields, std::string_view name) {
  for (const HeaderField& field : fields) {
    if (lowered(field.name) == name) return &field;
  }
  return nullptr;
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += 3) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
    if (at + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[at + 1]) << 8;
    if (at + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[at + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += at + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    out += at + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

// The subject line as a header value: its first line without control
// bytes, as it is when plain ASCII, else as UTF-8 encoded words (never
// cutting a character) on folded lines.
std::string subject_value(std::string_view subject) {
  subject = subject.substr(0, subject.find('\n'));
  std::string clean;
  bool ascii = true;
  for (unsigned char c : subject) {
    if (c < ' ' || c == 0x7f) continue;
    ascii = ascii && c < 0x80;
    clean += static_cast<char>(c);
  }
  if (ascii) return clean;
  std::string out;
  for (std::string_view rest = clean; !rest.empty();) {
    size_t take = std::min(rest.size(), kEncodedWordBytes);
    // A byte 10xxxxxx continues a character: the word ends before it.
    while (take < rest.size() && take > 1 &&
           (static_cast<unsigned char>(rest[take]) & 0xc0) == 0x80) {
      --take;
    }
    out += (out.empty() ? "" : "\n ") + ("=?UTF-8?B?" + base64(rest.substr(0, take)) + "?=");
    rest.remove_prefix(take);
  }
  return out;
}

std::string local_time(time_t when, const char* format) {
  struct tm local {};
  char text[64];
  if (localtime_r(&when, &local) == nullptr || strftime(text, sizeof text, format, &local) == 0) {
    return "";
  }
  return text;
}

struct Vacation {
  std::string subject;
  std::string text;
  std::string until;  // YYYY-MM-DD, or "" for no last day
  uid_t uid = 0;
  gid_t gid = 0;
};

// One file of the vacation folder: none, with what went wrong in note, when
// it cannot be read whole; an absent optional file reads as "".
std::optional<std::string> vacation_file(const std::string& dir, std::string_view name, size_t max,
                                         bool optional, std::string& note) {
  const std::string path = mailbox_vacation_file(dir, name);
  std::string text;
  errno = 0;
  if (read_whole_file(path, text, max)) return text;
  if (optional && errno == ENOENT) return std::string();
  note = "cannot read " + path + ": " +
         (errno == 0 ? "longer than " + std::to_string(max) + " bytes" : strerror(errno));
  return std::nullopt;
}

bool is_day(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

bool read_vacation(const std::string& dir, Vacation& vacation, std::string& note) {
  const std::string folder = mailbox_vacation_dir(dir);
  FdGuard held(open_dir_at(AT_FDCWD, folder, false));
  struct stat st;
  if (held.get() < 0 || fstat(held.get(), &st) != 0) {
    note = "cannot open " + folder + ": " + strerror(errno);
    return false;
  }
  vacation.uid = st.st_uid;
  vacation.gid = st.st_gid;
  std::optional<std::string> subject =
      vacation_file(dir, kVacationSubjectName, kVacationSubjectMax, false, note);
  std::optional<std::string> text =
      subject ? vacation_file(dir, kVacationMessageName, kVacationTextMax, false, note)
              : std::nullopt;
  std::optional<std::string> until =
      text ? vacation_file(dir, kVacationUntilName, kVacationSubjectMax, true, note) : std::nullopt;
  if (!until) return false;
  std::string_view day = *until;
  if (day.ends_with('\n')) day.remove_suffix(1);
  if (!day.empty() && !is_day(day)) {
    note = mailbox_vacation_file(dir, kVacationUntilName) + " holds no day (YYYY-MM-DD)";
    return false;
  }
  vacation = {std::move(*subject), std::move(*text), std::string(day), st.st_uid, st.st_gid};
  return true;
}

std::string reply_message(const AutorespondRequest& request, const Vacation& vacation,
                          const MailboxAddresses& own, const std::vector<HeaderField>& fields) {
  const std::string domain = own.from.substr(own.from.rfind('@') + 1);
  std::string out = "From: " + own.from + "\nTo: " + request.sender +
                    "\nSubject: " + subject_value(vacation.subject) +
                    "\nDate: " + local_time(request.now, "%a, %d %b %Y %H:%M:%S %z") +
                    "\nMessage-ID: <" + std::to_string(request.now) + "." +
                    std::to_string(getpid()) + ".autorespond@" + domain + ">\n";
  const HeaderField* id_field = find_field(fields, "message-id");
  const std::vector<std::string> id =
      id_field ? message_ids(id_field->value) : std::vector<std::string>{};
  if (!id.empty()) {
    // The thread so far: the message's References, or else its one parent.
    const HeaderField* refs = find_field(fields, "references");
    const HeaderField* parent = find_field(fields, "in-reply-to");
    std::vector<std::string> thread = refs ? message_ids(refs->value) : std::vector<std::string>{};
    if (!refs && parent && message_ids(parent->value).size() == 1) {
      thread = message_ids(parent->value);
    }
    thread.push_back(id.front());
    out += "In-Reply-To: " + id.front() + "\nReferences: ";
    for (size_t i = 0; i < thread.size(); ++i) out += (i == 0 ? "" : "\n ") + thread[i];
    out += "\n";
  }
  out += "Auto-Submitted: auto-replied\nMIME-Version: 1.0\n"
         "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 8bit\n\n";
  out += vacation.text;
  if (!vacation.text.empty() && !vacation.text.ends_with('\n')) out += "\n";
  return out;
}

// Hands the reply to qmail-queue from the empty sender to the sender.
DeliveryOutcome queue_reply(const std::string& reply, const std::string& sender) {
  FdGuard fd(memfd_create("reply", MFD_CLOEXEC));
  if (fd.get() < 0 || !write_all(fd.get(), reply)) {
    return {kDeliveryDefer, std::string("cannot hold the reply: ") + strerror(errno)};
  }
  Message message{fd.get(), 0, static_cast<off_t>(reply.size())};
  return queue_forward(message, "", "", {sender});
}

}  // namespace

bool read_header(int fd, std::string& header) {
  header.clear();
  char block[4096];
  for (;;) {
    // Once full, one more byte tells a message that ends here from a
    // header that goes on.
    const size_t room = kAutorespondHeaderMax - header.size();
    ssize_t got = read(fd, block, std::min(sizeof block, room == 0 ? 1 : room));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (room == 0) return false;
    const size_t before = header.size();
    header.append(block, static_cast<size_t>(got));
    if (size_t end = header_end(header, before < 2 ? 0 : before - 2); end != std::string::npos) {
      header.resize(end);
      return true;
    }
  }
}

std::vector<HeaderField> parse_header(std::string_view header) {
  std::vector<HeaderField> fields;
  bool open = false;  // whether the last line began a field that continues
  while (!header.empty()) {
    const size_t end = header.find('\n');
    std::string_view line = header.substr(0, end);
    header.remove_prefix(end == std::string_view::npos ? header.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (open) fields.back().value += line;
      continue;
    }
    const size_t colon = line.find(':');
    std::string_view name = line.substr(0, colon == std::string_view::npos ? 0 : colon);
    while (name.ends_with(' ') || name.ends_with('\t')) name.remove_suffix(1);
    open = !name.empty();
    for (unsigned char c : name) open = open && c > ' ' && c < 0x7f;
    if (open) fields.push_back({std::string(name), std::string(line.substr(colon + 1))});
  }
  return fields;
}

bool address_list_has(std::string_view list, std::string_view address) {
  const std::string want = lowered(address);
  std::string plain, angle;  // an element's text outside <>, and inside
  bool in_angle = false, has_angle = false, quoted = false, found = false;
  int comment = 0;  // depth of nested comments
  auto finish = [&] {
    std::string_view got = has_angle ? angle : plain;
    // An old source route ("@relay,@relay:user@host") leads to the address.
    if (got.starts_with('@') && got.find(':') != std::string_view::npos) {
      got.remove_prefix(got.find(':') + 1);
    }
    std::string bare;
    for (char c : got) {
      if (c != ' ' && c != '\t') bare += c;
    }
    found = found || (!bare.empty() && lowered(bare) == want);
    plain.clear(), angle.clear();
    in_angle = has_angle = false;
  };
  for (size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    std::string& into = in_angle ? angle : plain;
    if (comment > 0) {
      if (c == '\\') {
        ++i;
      } else if (c == '(') {
        ++comment;
      } else if (c == ')') {
        --comment;
      }
    } else if (quoted) {
      into += c;
      if (c == '\\' && i + 1 < list.size()) {
        into += list[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      into += c;
      quoted = true;
    } else if (c == '(') {
      comment = 1;
    } else if (in_angle) {
      if (c == '>') {
        in_angle = false;
      } else {
        angle += c;
      }
    } else if (c == '<') {
      in_angle = has_angle = true;
      angle.clear();
    } else if (c == ',' || c == ';') {
      finish();
    } else if (c == ':') {
      plain.clear();  // a group's name
    } else {
      plain += c;
    }
  }
  finish();
  return found;
}

bool replied_within(std::string_view record, std::string_view sender, time_t now) {
  const std::string own = lowered(sender);
  for (const std::string& line : split_lines(record)) {
    const size_t space = line.rfind(' ');
    if (space == std::string::npos || std::string_view(line).substr(0, space) != own) continue;
    const std::string_view digits = std::string_view(line).substr(space + 1);
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    const time_t when = static_cast<time_t>(std::stoll(std::string(digits)));
    if (when <= now && now - when < kReplyInterval) return true;
  }
  return false;
}

std::string record_reply(std::string_view record, std::string_view sender, time_t now) {
  const std::string own = lowered(sender);
  std::vector<std::string> kept;
  for (std::string& line : split_lines(record)) {
    const size_t space = line.rfind(' ');
    if (space == 0 || space == std::string::npos || space + 1 == line.size() ||
        line.size() - space - 1 > 18 ||
        line.find_first_not_of("0123456789", space + 1) != std::string::npos ||
        std::string_view(line).substr(0, space) == own) {
      continue;
    }
    kept.push_back(std::move(line));
  }
  const std::string last = own + " " + std::to_string(now) + "\n";
  size_t bytes = last.size();
  for (const std::string& line : kept) bytes += line.size() + 1;
  size_t first = 0;
  while (first < kept.size() &&
         (kept.size() - first + 1 > kRepliedMaxLines || bytes > kRepliedMaxBytes)) {
    bytes -= kept[first++].size() + 1;
  }
  std::string out;
  for (size_t i = first; i < kept.size(); ++i) out += kept[i] + "\n";
  return out + last;
}

AutorespondOutcome autorespond(const AutorespondRequest& request, std::string_view header,
                               bool whole) {
  if (std::optional<std::string> why = sender_refusal(request.sender)) return no_reply(*why);
  // A header cut short could hide the line that forbids a reply.
  if (!whole) {
    return no_reply("the message's header is longer than " +
                    std::to_string(kAutorespondHeaderMax) + " bytes");
  }
  const std::vector<HeaderField> fields = parse_header(header);
  if (std::optional<std::string> why = header_refusal(fields)) return no_reply(*why);
  const MailboxAddresses own = mailbox_addresses(request);
  if (own.from.empty()) return failed("no mailbox address: neither HOST nor RECIPIENT is set");
  // The address heads the reply's From: line, so it must be one plain word.
  for (unsigned char c : own.from) {
    if (c <= ' ' || c == 0x7f) return failed("the mailbox address holds a blank or control byte");
  }
  if (!addressed_to(fields, own.known)) return no_reply("the mailbox is not in To: or Cc:");

  Vacation vacation;
  std::string note;
  if (!read_vacation(request.dir, vacation, note)) return failed(note);
  if (!vacation.until.empty() && local_time(request.now, "%Y-%m-%d") > vacation.until) {
    return no_reply("the vacation ended on " + vacation.until);
  }

  // One writer of the record at a time, so two messages from one sender
  // arriving together are answered once.
  const std::string replied = mailbox_vacation_file(request.dir, kVacationRepliedName);
  FileLock lock;
  if (lock.lock_waiting(lock_file_path(replied), FileLock::kBusyWait) != 0) {
    return failed("cannot lock " + lock_file_path(replied) + ": " + strerror(errno));
  }
  lock.give_owner(vacation.uid, vacation.gid);
  std::string record;
  errno = 0;
  if (!read_whole_file(replied, record, kRepliedReadMax)) {
    if (errno != ENOENT) {
      return failed("cannot read " + replied + ": " +
                    (errno == 0 ? "longer than " + std::to_string(kRepliedReadMax) + " bytes"
                                : strerror(errno)));
    }
    record.clear();
  }
  if (replied_within(record, request.sender, request.now)) {
    return no_reply(lowered(request.sender) + " was answered in the last 7 days");
  }
  // The new record is written before the reply goes and takes its place
  // only after: a reply that cannot be recorded is never sent.
  TempFile copy(temp_name_for(replied));
  if (!copy.create(0600)) return failed("cannot write " + replied);
  copy.give_owner(vacation.uid, vacation.gid, false);
  copy.set_mode(0600);
  copy.out().write(record_reply(record, request.sender, request.now));
  DeliveryOutcome sent = queue_reply(reply_message(request, vacation, own, fields), request.sender);
  if (sent.status != kDeliveryDone) {
    return failed("qmail-queue did not take the reply: " + sent.reason);
  }
  if (copy.replace(replied) != 0) {
    return {true, "the reply was sent but not recorded in " + replied};
  }
  return {true, ""};
}

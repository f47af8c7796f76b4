#include "accounts/mailbox_routing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "accounts/dot_qmail.h"
#include "accounts/open_dir.h"
#include "accounts/passwd.h"
#include "accounts/routing.h"
#include "base/address.h"
#include "base/dir_tree.h"
#include "base/error.h"
#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "base/temp_file.h"
#include "domains/assign.h"
#include "domains/limits.h"

namespace {

constexpr std::string_view kOwnMaildirLine = "./Maildir/";

// Where one mailbox lives: its domain's home (the real domain, its owner)
// and its password record (its directory).
struct Place {
  DomainHome home;
  password_record record;
};

int find_place(const Mailbox& mailbox, Place& place) {
  std::optional<DomainHome> home = find_domain_home(mailbox.domain);
  if (!home) return kErrNoDomain;
  std::optional<password_record> record = passwd_find(mailbox.user, home->domain);
  if (!record) return kErrNoUser;
  place = {*home, *record};
  return 0;
}

std::string program_line(const Place& place) {
  return autorespond_program(tessera_home()) + " " + place.record.dir;
}

// The .qmail's text: "" when there is none; none when it is there but is
// no plain file (a link among them) or cannot be read.
std::optional<std::string> read_qmail(const std::string& dir) {
  std::optional<std::string> text = read_dot_qmail(PathAt{AT_FDCWD, mailbox_dot_qmail(dir)}, false);
  if (!text && errno == ENOENT) return std::string();
  return text;
}

// What the writer's own lines in text say; false when other lines are there.
bool parse_own_lines(std::string_view text, const std::string& program, MailboxRouting& routing) {
  bool own = true;
  bool maildir = false;
  for (const DotQmailLine& line : delivery_lines(text)) {
    switch (line.kind) {
      case DotQmailKind::kForward:
        routing.forwards.emplace_back(line.text);
        break;
      case DotQmailKind::kProgram:
        if (line.text == program) {
          routing.vacation = true;
        } else {
          own = false;
        }
        break;
      case DotQmailKind::kMaildir:
        if (line.text == kOwnMaildirLine) {
          maildir = true;
        } else {
          own = false;
        }
        break;
      default:
        own = false;
    }
  }
  routing.keep_copy = maildir && !routing.forwards.empty();
  return own;
}

std::string without_line_end(std::string text) {
  if (text.ends_with('\n')) text.pop_back();
  return text;
}

void read_vacation_settings(const std::string& dir, VacationSettings& settings) {
  auto file = [&dir](std::string_view name) {
    return read_dot_qmail(PathAt{AT_FDCWD, mailbox_vacation_file(dir, name)}, false)
        .value_or("");
  };
  settings.subject = without_line_end(file(kVacationSubjectName));
  settings.text = file(kVacationMessageName);
  settings.until = without_line_end(file(kVacationUntilName));
}

int read_routing_at(const Place& place, MailboxRouting& routing) {
  routing = MailboxRouting{};
  std::optional<std::string> text = read_qmail(place.record.dir);
  if (!text) return kErrDotQmail;
  bool own = parse_own_lines(*text, program_line(place), routing);
  if (routing.vacation) read_vacation_settings(place.record.dir, routing.settings);
  return own ? 0 : kErrForeignLines;
}

// How many of the domain's mailboxes other than `except` forward, and how
// many answer with a vacation reply, as the user list tells them.
struct RoutingCounts {
  int forwards = 0;
  int vacations = 0;
};

RoutingCounts count_routing(const DomainHome& home, const std::string& except) {
  RoutingCounts counts;
  OpenDir domain_dir;
  domain_dir.hold(home.dir);
  PasswdListing listing(home.domain);
  for (const password_record* record = listing.next(); record; record = listing.next()) {
    if (record->name == except) continue;
    std::optional<std::string> text =
        read_dot_qmail(domain_dir.place(mailbox_dot_qmail(record->dir)), false);
    if (!text) continue;
    bool forwards = false, vacation = false;
    std::string_view rest = *text;
    for (std::string_view piece; next_piece(rest, piece, kDotQmailWholeLine);) {
      forwards = forwards || parse_dot_qmail_line(piece).kind == DotQmailKind::kForward;
      vacation = vacation || piece.find("autorespond") != std::string_view::npos;
    }
    counts.forwards += forwards;
    counts.vacations += vacation;
  }
  return counts;
}

int check_counts(const Place& place, bool adds_forwards, bool adds_vacation) {
  if (!adds_forwards && !adds_vacation) return 0;
  domain_limits limits;
  if (get_domain_limits(place.home.domain, limits) != 0) return kErrDomainLimits;
  const int32_t forward_cap = adds_forwards ? limits.maxforwards : -1;
  const int32_t vacation_cap = adds_vacation ? limits.maxautoresponders : -1;
  if (forward_cap < 0 && vacation_cap < 0) return 0;
  RoutingCounts counts = count_routing(place.home, place.record.name);
  if (forward_cap >= 0 && counts.forwards >= forward_cap) return kErrForwardLimit;
  if (vacation_cap >= 0 && counts.vacations >= vacation_cap) return kErrVacationLimit;
  return 0;
}

// Replaces path with text through a private copy that already has the
// domain's owner and the mode when it is renamed into place.
int replace_file(const std::string& path, std::string_view text, const DomainHome& home,
                 mode_t mode) {
  TempFile temp(temp_name_for(path));
  if (!temp.create(mode)) return kErrUpdateFile;
  if (!temp.give_owner(home.uid, home.gid, false) || !temp.set_mode(mode)) return kErrUpdateFile;
  temp.out().write(text);
  return temp.replace(path);
}

// The vacation folder, made when missing, as a folder of the domain's
// owner with mode 0700; a link or anything but a folder at its name fails.
int make_vacation_dir(const std::string& path, const DomainHome& home) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return kErrUpdateFile;
  int fd = open_dir_at(AT_FDCWD, path, false);
  if (fd < 0) return kErrUpdateFile;
  FdGuard folder(fd);
  if (fchown(fd, home.uid, home.gid) != 0 && geteuid() == 0) return kErrUpdateFile;
  return fchmod(fd, 0700) == 0 ? 0 : kErrUpdateFile;
}

int write_vacation(const Place& place, const VacationSettings& settings) {
  const std::string& dir = place.record.dir;
  if (int code = make_vacation_dir(mailbox_vacation_dir(dir), place.home); code != 0) return code;
  struct FileText {
    std::string_view name;
    std::string text;
  };
  const FileText files[] = {{kVacationSubjectName, settings.subject + "\n"},
                            {kVacationMessageName, settings.text},
                            {kVacationRepliedName, ""}};
  for (const FileText& file : files) {
    int code = replace_file(mailbox_vacation_file(dir, file.name), file.text, place.home, 0600);
    if (code != 0) return code;
  }
  const std::string until = mailbox_vacation_file(dir, kVacationUntilName);
  if (!settings.until.empty()) return replace_file(until, settings.until + "\n", place.home, 0600);
  return unlink(until.c_str()) == 0 || errno == ENOENT ? 0 : kErrUpdateFile;
}

int write_qmail(const Place& place, const MailboxRouting& next) {
  const std::string path = mailbox_dot_qmail(place.record.dir);
  std::string text = compose_mailbox_qmail(tessera_home(), place.record.dir, next.forwards,
                                           next.keep_copy, next.vacation);
  if (text.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : kErrUpdateFile;
  return replace_file(path, text, place.home, 0600);
}

enum class VacationStep { kLeave, kSet, kRemove };

// One change of a mailbox's routing under the domain's routing lock:
// forwards given replace the current ones; the vacation reply is left,
// set or removed.
int change_routing(const Mailbox& mailbox, const std::vector<std::string>* forwards,
                   bool keep_copy, VacationStep step, const VacationSettings& settings) {
  Place place;
  if (int code = find_place(mailbox, place); code != 0) return code;
  FileLock lock;
  if (lock.lock_waiting(domain_routing_lock(place.home.dir), FileLock::kBusyWait) != 0) {
    return kErrFailed;
  }
  lock.give_owner(place.home.uid, place.home.gid);
  MailboxRouting now;
  if (int code = read_routing_at(place, now); code != 0) return code;
  MailboxRouting next = now;
  if (forwards != nullptr) {
    next.forwards = *forwards;
    next.keep_copy = keep_copy && !forwards->empty();
  }
  if (step != VacationStep::kLeave) next.vacation = step == VacationStep::kSet;
  const bool adds_forwards = !next.forwards.empty() && now.forwards.empty();
  const bool adds_vacation = next.vacation && !now.vacation;
  if (int code = check_counts(place, adds_forwards, adds_vacation); code != 0) return code;
  if (step == VacationStep::kSet) {
    if (int code = write_vacation(place, settings); code != 0) return code;
  }
  if (int code = write_qmail(place, next); code != 0) return code;
  if (step == VacationStep::kRemove) {
    const std::string folder = mailbox_vacation_dir(place.record.dir);
    struct stat st;
    if (lstat(folder.c_str(), &st) == 0 && delete_tree(folder) != 0) return kErrUpdateFile;
  }
  return 0;
}

// A subject is one header line's worth of text.
int subject_ok(std::string_view subject) {
  if (subject.empty() || subject.size() > kVacationSubjectMax) return kErrBadSubject;
  return subject.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos
             ? 0
             : kErrBadSubject;
}

// ASCII capitals to small letters, the whole text (lower_name cuts names).
std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

int vacation_date_ok(std::string_view text) {
  if (text.empty()) return 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return kErrBadDate;
  auto number = [text](size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return -1;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1) return kErrBadDate;
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int last = kDays[month - 1] + (month == 2 && leap_year(year) ? 1 : 0);
  return day <= last ? 0 : kErrBadDate;
}

std::string compose_mailbox_qmail(std::string_view home, std::string_view dir,
                                  const std::vector<std::string>& forwards, bool keep_copy,
                                  bool vacation) {
  std::string text;
  if (vacation) text.append("|").append(autorespond_program(home)).append(" ").append(dir) += '\n';
  for (const std::string& forward : forwards) text.append("&").append(forward) += '\n';
  if ((keep_copy && !forwards.empty()) || (vacation && forwards.empty())) {
    text += std::string(kOwnMaildirLine) + "\n";
  }
  return text;
}

int read_mailbox_routing(const Mailbox& mailbox, MailboxRouting& routing) {
  Place place;
  if (int code = find_place(mailbox, place); code != 0) return code;
  return read_routing_at(place, routing);
}

int set_mailbox_forwards(const Mailbox& mailbox, const std::vector<std::string>& forwards,
                         bool keep_copy) {
  std::vector<std::string> clean;
  for (std::string forward : forwards) {
    if (!destination_address(forward)) return kErrBadDestination;
    // Host names compare in small letters; the local part is the other
    // host's to judge.
    const size_t at = forward.rfind('@');
    forward.replace(at + 1, std::string::npos, lowered(forward.substr(at + 1)));
    if (std::find(clean.begin(), clean.end(), forward) == clean.end()) clean.push_back(forward);
  }
  if (clean.size() > kForwardsPerMailboxMax) return kErrTooManyForwards;
  // Mail forwarded to the mailbox itself would come back for ever.
  std::optional<DomainHome> home = find_domain_home(mailbox.domain);
  for (const std::string& forward : clean) {
    const std::string address = lowered(forward);
    if (address == mailbox.user + "@" + mailbox.domain.str() ||
        (home && address == mailbox.user + "@" + home->domain.str())) {
      return kErrBadDestination;
    }
  }
  return change_routing(mailbox, &clean, keep_copy, VacationStep::kLeave, {});
}

int set_mailbox_vacation(const Mailbox& mailbox, const VacationSettings& settings) {
  if (int code = subject_ok(settings.subject); code != 0) return code;
  VacationSettings clean = settings;
  clean.text.clear();
  // A browser sends its text with "\r\n" line ends; the reply has "\n".
  for (size_t i = 0; i < settings.text.size(); ++i) {
    if (settings.text[i] == '\r' && i + 1 < settings.text.size() && settings.text[i + 1] == '\n') {
      continue;
    }
    clean.text += settings.text[i];
  }
  if (clean.text.size() > kVacationTextMax || clean.text.find('\0') != std::string::npos) {
    return kErrBadText;
  }
  if (int code = vacation_date_ok(settings.until); code != 0) return code;
  return change_routing(mailbox, nullptr, false, VacationStep::kSet, clean);
}

int remove_mailbox_vacation(const Mailbox& mailbox) {
  return change_routing(mailbox, nullptr, false, VacationStep::kRemove, {});
}

// The delivery of one message: the recipient's mailbox found through the
// store, its .qmail followed, maildirs written the maildir way, forwards
// handed to qmail-queue.
#include "accounts/deliver.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "accounts/dot_qmail.h"
#include "accounts/passwd.h"
#include "base/fd_guard.h"
#include "base/mailbox.h"
#include "base/password_record.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/store_layout.h"
#include "domains/assign.h"
#include "quota/maildir_quota.h"

extern char** environ;

namespace {

constexpr size_t kCopyBlock = 64 * 1024;
// New names tried when one is taken in new/ (another delivery in the same
// microsecond, or a name planted there).
constexpr int kNameAttempts = 5;

DeliveryOutcome defer(std::string reason) { return {kDeliveryDefer, std::move(reason)}; }
DeliveryOutcome bounce(std::string reason) { return {kDeliveryBounce, std::move(reason)}; }

bool same_letters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

// Copies length bytes of in from offset onwards to out; false on a failed
// read or write, or a file shorter than it was.
bool copy_range(int in, off_t offset, off_t length, int out) {
  char block[kCopyBlock];
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<off_t>(length, sizeof block));
    ssize_t got = pread(in, block, want, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    if (!write_all(out, std::string_view(block, static_cast<size_t>(got)))) return false;
    offset += got;
    length -= got;
  }
  return true;
}

// The host part of a maildir name: "/" and ":" would break the name's
// syntax, so they are written as the octal escapes readers expect.
std::string maildir_host() {
  char host[256] = "localhost";
  if (gethostname(host, sizeof host - 1) != 0) strcpy(host, "localhost");
  host[sizeof host - 1] = '\0';
  std::string out;
  for (const char* p = host; *p != '\0'; ++p) {
    if (*p == '/') {
      out += "\\057";
    } else if (*p == ':') {
      out += "\\072";
    } else {
      out += *p;
    }
  }
  return out;
}

std::string unique_name(off_t size) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return std::to_string(now.tv_sec) + ".M" + std::to_string(now.tv_usec) + "P" +
         std::to_string(getpid()) + "." + maildir_host() + ",S=" + std::to_string(size);
}

// The lines put before the message in a maildir: qmail-local's own, or,
// when run by hand without them, the same made from the envelope.
std::string return_path(const DeliveryRequest& r) {
  return r.rpline.empty() ? "Return-Path: <" + r.sender + ">\n" : r.rpline;
}
std::string delivered_to(const DeliveryRequest& r) {
  if (!r.dtline.empty() || r.recipient.empty()) return r.dtline;
  return "Delivered-To: " + r.recipient + "\n";
}

// What qmail-local makes of a program's exit status.
DeliveryOutcome program_outcome(int status) {
  if (!WIFEXITED(status)) return defer("The .qmail program was killed. (#4.3.0)");
  switch (int code = WEXITSTATUS(status)) {
    case 0:
      return {kDeliveryDone, ""};
    case 99:
      return {kDeliveryStop, ""};
    case 64: case 65: case 70: case 76: case 77: case 78: case 100: case 112:
      return bounce("The .qmail program refused the message (exit " + std::to_string(code) +
                    "). (#5.3.0)");
    default:
      return defer("The .qmail program failed (exit " + std::to_string(code) + "). (#4.3.0)");
  }
}

// Runs one "|command" line: /bin/sh -c COMMAND in dir, the message on
// standard input from its first byte, the environment as qmail-local gave it.
DeliveryOutcome run_program_line(std::string_view command, const std::string& dir,
                                 const Message& message) {
  std::string text(command);
  pid_t pid = fork();
  if (pid < 0) return defer("Cannot start the .qmail program. (#4.3.0)");
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0 || dup2(message.fd, 0) < 0 ||
        lseek(0, message.start, SEEK_SET) != message.start) {
      _exit(111);
    }
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), text.data(), nullptr};
    execve("/bin/sh", argv, environ);
    _exit(111);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return defer("Lost the .qmail program. (#4.3.0)");
  }
  return program_outcome(status);
}

// A maildir line of the mailbox's .qmail as a path: relative lines are
// read from the mailbox directory, as qmail-local runs in the home.
std::string maildir_path(std::string_view line, const std::string& dir) {
  if (line.front() == '/') return std::string(line);
  return dir + "/" + std::string(line);
}

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool is_own_maildir(const std::string& path, const std::string& dir) {
  std::string p = without_trailing_slashes(path);
  const std::string own = without_trailing_slashes(mailbox_maildir(dir));
  return p == own || p == dir + "/." + own.substr(dir.size());
}

std::string trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t\r") + 1 - first));
}

// Follows the mailbox's .qmail; nullopt when it holds no delivery line (the
// caller then delivers into the Maildir).
std::optional<DeliveryOutcome> follow_dot_qmail(std::string_view text,
                                                const password_record& record,
                                                const DeliveryRequest& request,
                                                const Message& message, const DomainHome& home) {
  const std::vector<DotQmailLine> lines = delivery_lines(text);
  for (const DotQmailLine& line : lines) {
    if (line.kind == DotQmailKind::kMbox) {
      return defer("The mailbox's .qmail names an mbox file, which this program does not "
                   "write. (#4.2.1)");
    }
    if (line.kind == DotQmailKind::kUnknown) {
      return defer("The mailbox's .qmail holds a line it cannot read. (#4.2.1)");
    }
  }
  if (lines.empty()) return std::nullopt;
  // Every line is known to be one this program follows before any of them
  // delivers, so a retry never repeats a delivery for a line it cannot follow.
  std::vector<std::string> forwards;
  bool stop = false;
  for (const DotQmailLine& line : lines) {
    if (stop) break;
    DeliveryOutcome step;
    if (line.kind == DotQmailKind::kProgram) {
      step = run_program_line(line.text, record.dir, message);
    } else if (line.kind == DotQmailKind::kMaildir) {
      std::string path = maildir_path(line.text, record.dir);
      step = maildir_deliver(path, is_own_maildir(path, record.dir) ? record.quota : "", request,
                             message, home.uid, home.gid);
    } else {
      std::string address = trimmed(line.text);
      if (!address.empty()) forwards.push_back(address);
      continue;
    }
    if (step.status == kDeliveryStop) {
      stop = true;
    } else if (step.status != kDeliveryDone) {
      return step;
    }
  }
  if (!forwards.empty()) {
    DeliveryOutcome sent = queue_forward(message, delivered_to(request), request.sender, forwards);
    if (sent.status != kDeliveryDone) return sent;
  }
  return DeliveryOutcome{stop ? kDeliveryStop : kDeliveryDone, ""};
}

DeliveryOutcome deliver_to_account(const password_record& record, const DeliveryRequest& request,
                                   const Message& message, const DomainHome& home) {
  if ((record.flags & kBounceMail) != 0) return bounce(kBounceMailReason);
  off_t size = 0;
  errno = 0;
  std::optional<std::string> text =
      read_dot_qmail(PathAt{AT_FDCWD, mailbox_dot_qmail(record.dir)}, false, &size);
  if (!text) {
    // No file, or one the user list would not read either (a link, no
    // plain file): the mailbox takes its mail itself.
    if (errno != ENOENT && errno != ELOOP && errno != EINVAL) {
      return defer("Cannot read the mailbox's .qmail. (#4.3.0)");
    }
  } else if (size > static_cast<off_t>(kDotQmailReadMax)) {
    return defer("The mailbox's .qmail is too long. (#4.2.1)");
  } else if (std::optional<DeliveryOutcome> done =
                 follow_dot_qmail(*text, record, request, message, home)) {
    return *done;
  }
  return maildir_deliver(mailbox_maildir(record.dir), record.quota, request, message, home.uid,
                         home.gid);
}

// Mail for a name without a mailbox, as the .qmail-default line says.
DeliveryOutcome deliver_no_mailbox(const DeliveryRequest& request, const Message& message,
                                   const DomainHome& home) {
  const NoMailbox action = parse_no_mailbox(request.no_mailbox);
  switch (action.kind) {
    case NoMailboxKind::kBounce:
      return bounce(kNoMailboxReason);
    case NoMailboxKind::kDelete:
      return {kDeliveryDone, ""};
    case NoMailboxKind::kAddress:
      return queue_forward(message, delivered_to(request), request.sender, {action.target});
    case NoMailboxKind::kPath: {
      // The catch-all mailbox's own quota applies when the path is an
      // account's directory, as account deletion reads the same path.
      const std::string dir = without_trailing_slashes(action.target);
      const std::string user = dir.substr(dir.rfind('/') + 1);
      PasswdLookup found = passwd_lookup(user, home.domain);
      if (found.result == kErrFailed) return defer("Cannot read the mailbox store. (#4.3.0)");
      std::string quota = found.record && found.record->dir == dir ? found.record->quota : "";
      return maildir_deliver(mailbox_maildir(dir), quota, request, message, home.uid, home.gid);
    }
    case NoMailboxKind::kUnknown:
      break;
  }
  return defer("The domain's .qmail-default names no known action for unknown recipients. "
               "(#4.3.5)");
}

}  // namespace

bool open_message(int fd, Message& message) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (S_ISREG(st.st_mode)) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at <= st.st_size) {
      message = {fd, at, st.st_size - at};
      return true;
    }
  }
  // A pipe or the like: kept whole in a private memory file, so that every
  // delivery of the message can read it from its start.
  int copy = memfd_create("message", MFD_CLOEXEC);
  if (copy < 0) return false;
  char block[kCopyBlock];
  off_t size = 0;
  for (;;) {
    ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || (got > 0 && !write_all(copy, std::string_view(block, static_cast<size_t>(got))))) {
      int saved = errno;
      close(copy);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    size += got;
  }
  message = {copy, 0, size};
  return true;
}

HeaderScan::HeaderScan(std::string_view line) : want_(line) {
  if (want_.ends_with('\n')) want_.pop_back();
}

void HeaderScan::end_line() {
  std::string_view line = line_;
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (!long_line_ && line.empty()) {
    in_header_ = false;
  } else if (!long_line_ && !want_.empty() && same_letters(line, want_)) {
    found_ = true;
  }
  line_.clear();
  long_line_ = false;
}

bool HeaderScan::feed(std::string_view bytes) {
  for (char c : bytes) {
    if (!in_header_) return false;
    if (c == '\n') {
      end_line();
    } else if (line_.size() <= want_.size()) {
      line_ += c;  // one byte past the sought length: room for a "\r"
    } else {
      long_line_ = true;
    }
  }
  return in_header_;
}

bool header_has_line(const Message& message, std::string_view line) {
  HeaderScan scan(line);
  char block[kCopyBlock];
  for (off_t at = 0; at < message.size;) {
    size_t want = static_cast<size_t>(std::min<off_t>(message.size - at, sizeof block));
    ssize_t got = pread(message.fd, block, want, message.start + at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    at += got;
    if (!scan.feed(std::string_view(block, static_cast<size_t>(got)))) break;
  }
  return scan.found();
}

DeliveryOutcome maildir_deliver(const std::string& maildir, const std::string& quota_text,
                                const DeliveryRequest& request, const Message& message,
                                uid_t uid, gid_t gid) {
  const std::string head = return_path(request) + delivered_to(request);
  const off_t size = static_cast<off_t>(head.size()) + message.size;
  // The quota is judged before anything is written; its maildirsize stays
  // open for the usage line once the message is in.
  const bool quota = !quota_text.empty() && quota_text != "NOQUOTA";
  int usage_fd = -1;
  if (quota) {
    int percent = 0;
    errno = 0;
    if (check_maildir_quota(maildir, &usage_fd, quota_text.c_str(), static_cast<uint64_t>(size),
                            1, &percent) != 0) {
      usage_fd = -1;
      if (errno != ENOSPC) return defer("Cannot read the mailbox's quota. (#4.3.0)");
      if (!(request.sender.empty() && size < kSmallBounceSize)) return bounce(kOverQuotaReason);
    }
  }
  FdGuard usage(usage_fd);
  FdGuard top(open_dir_at(AT_FDCWD, maildir, false));
  FdGuard tmp(top.get() < 0 ? -1 : open_dir_at(top.get(), "tmp", false));
  FdGuard fresh(top.get() < 0 ? -1 : open_dir_at(top.get(), "new", false));
  if (tmp.get() < 0 || fresh.get() < 0) {
    return defer("The mailbox's Maildir cannot be opened. (#4.2.1)");
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = unique_name(size);
    int fd = openat(tmp.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return defer("Cannot create a message file in the Maildir. (#4.3.0)");
    }
    FdGuard file(fd);
    bool written = (geteuid() != 0 || fchown(fd, uid, gid) == 0) && write_all(fd, head) &&
                   copy_range(message.fd, message.start, message.size, fd) && fsync(fd) == 0;
    if (!file.close_now()) written = false;
    if (!written) {
      unlinkat(tmp.get(), name.c_str(), 0);
      return defer(errno == ENOSPC || errno == EDQUOT || errno == EFBIG
                       ? "The disk holding the mailbox is full. (#4.3.0)"
                       : "Cannot write the message into the Maildir. (#4.3.0)");
    }
    // A link never replaces a name already in new/: a taken name is tried
    // again with a new one.
    if (linkat(tmp.get(), name.c_str(), fresh.get(), name.c_str(), 0) != 0) {
      int saved = errno;
      unlinkat(tmp.get(), name.c_str(), 0);
      if (saved == EEXIST) continue;
      return defer("Cannot move the message into Maildir/new. (#4.3.0)");
    }
    if (fsync(fresh.get()) != 0) {
      unlinkat(fresh.get(), name.c_str(), 0);
      unlinkat(tmp.get(), name.c_str(), 0);
      return defer("Cannot sync Maildir/new. (#4.3.0)");
    }
    unlinkat(tmp.get(), name.c_str(), 0);
    // The message is in: a usage line that cannot be written only leaves
    // maildirsize behind the mailbox until its next recount.
    if (quota) {
      write_maildirsize(maildir, usage.get(), quota_text, static_cast<uint64_t>(size), 1, false);
    }
    return {kDeliveryDone, ""};
  }
  return defer("No free message name in the Maildir. (#4.3.0)");
}

DeliveryOutcome queue_forward(const Message& message, std::string_view dtline,
                              const std::string& sender,
                              const std::vector<std::string>& recipients) {
  std::string envelope = "F" + sender + '\0';
  for (const std::string& to : recipients) envelope += "T" + to + '\0';
  envelope += '\0';
  int body[2], env[2];
  if (pipe2(body, O_CLOEXEC) != 0) return defer("Cannot forward the message. (#4.3.0)");
  if (pipe2(env, O_CLOEXEC) != 0) {
    close(body[0]), close(body[1]);
    return defer("Cannot forward the message. (#4.3.0)");
  }
  const std::string program = qmail_queue_program();
  pid_t pid = fork();
  if (pid == 0) {
    if (dup2(body[0], 0) < 0 || dup2(env[0], 1) < 0) _exit(111);
    char* const argv[] = {const_cast<char*>("qmail-queue"), nullptr};
    execve(program.c_str(), argv, environ);
    _exit(111);
  }
  close(body[0]), close(env[0]);
  FdGuard body_out(body[1]), env_out(env[1]);
  if (pid < 0) return defer("Cannot start qmail-queue. (#4.3.0)");
  // qmail-queue reads the whole message before the envelope.
  bool sent = write_all(body_out.get(), dtline) &&
              copy_range(message.fd, message.start, message.size, body_out.get());
  sent = body_out.close_now() && sent;
  sent = sent && write_all(env_out.get(), envelope);
  sent = env_out.close_now() && sent;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return defer("Lost qmail-queue. (#4.3.0)");
  }
  if (!WIFEXITED(status)) return defer("qmail-queue was killed. (#4.3.0)");
  int code = WEXITSTATUS(status);
  if (code == 0 && sent) return {kDeliveryDone, ""};
  if (code >= 11 && code <= 40) {
    return bounce("qmail-queue refused the forward (exit " + std::to_string(code) + "). (#5.3.0)");
  }
  return defer("qmail-queue failed (exit " + std::to_string(code) + "). (#4.3.0)");
}

DeliveryOutcome deliver_message(const DeliveryRequest& request, const Message& message) {
  if (header_has_line(message, request.dtline)) return bounce(kLoopReason);
  if (request.host.empty()) return defer("No recipient domain (HOST) given. (#4.3.5)");
  Mailbox mailbox(request.ext.empty() ? request.default_ext : request.ext,
                  DomainName(request.host));
  PasswdLookup found = passwd_lookup(mailbox.user, mailbox.domain);
  if (found.result == kErrNoDomain) return bounce(kNoMailboxReason);
  if (found.result != kSuccess && found.result != kErrNoUser) {
    return defer("Cannot read the mailbox store. (#4.3.0)");
  }
  std::optional<DomainHome> home = find_domain_home(mailbox.domain);
  if (!home) return defer("Cannot read the mailbox store. (#4.3.0)");
  if (!found.record) return deliver_no_mailbox(request, message, *home);
  return deliver_to_account(*found.record, request, message, *home);
}

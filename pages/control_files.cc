#include "pages/control_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/fd_guard.h"
#include "base/locked_file.h"
#include "base/safe_path.h"
#include "base/site.h"
#include "base/temp_file.h"
#include "web/escape.h"
#include "web/form.h"
#include "web/page.h"

namespace {

constexpr ControlFile kControlFiles[] = {
    {"badmailfrom", "none"},
    {"bouncefrom", "MAILER-DAEMON"},
    {"bouncehost", "me"},
    {"concurrencylocal", "10"},
    {"concurrencyremote", "20"},
    {"defaultdomain", "me"},
    {"defaulthost", "me"},
    {"databytes", "0"},
    {"doublebouncehost", "me"},
    {"doublebounceto", "postmaster"},
    {"envnoathost", "me"},
    {"helohost", "me"},
    {"idhost", "me"},
    {"localiphost", "me"},
    {"me", "me"},
    {"percenthack", "none"},
    {"plusdomain", "me"},
    {"qmapservers", "none"},
    {"queuelifetime", "60480 (7 days)"},
    {"smtpgreeting", "me"},
    {"smtproutes", "none"},
    {"timeoutconnect", "60"},
    {"timeoutremote", "1200"},
    {"timeoutsmtpd", "1200"},
};

// Path fields: 254 bytes for showing and writing, 255 for deleting.
constexpr size_t kEditPathField = 254;
constexpr size_t kDeletePathField = 255;

constexpr char kDefaultRows[] = "20";
constexpr char kDefaultCols[] = "80";

// Gives the temporary file the old file's owner and mode; a new file keeps
// the mode it was created with (0666 under the umask).
bool take_old_owner_and_mode(TempFile& temp, const struct stat* old_file) {
  if (old_file == nullptr) return true;
  return temp.give_owner(old_file->st_uid, old_file->st_gid, true) &&
         temp.set_mode(old_file->st_mode & 07777);
}

enum class ReplaceResult { kDone, kNoTempFile, kWriteFailed };

// Writes the content beside the file and renames it over the file, so qmail
// sees either the old or the new text, never a half-written one.
ReplaceResult replace_file(const std::string& path, std::string_view content,
                           const struct stat* old_file) {
  // A hidden name of this process's own, so the copy never shows on the
  // control-file list as a file of its own.
  TempFile temp(temp_name_for(qmail_control_dir() + "/.larkspur"));
  if (!temp.create()) return ReplaceResult::kNoTempFile;
  if (!take_old_owner_and_mode(temp, old_file)) return ReplaceResult::kWriteFailed;
  temp.out().write(content);
  return temp.replace(path) == 0 ? ReplaceResult::kDone : ReplaceResult::kWriteFailed;
}

// The name of a form field that must be a valid control file, with its path.
std::string checked_path(const char* name, size_t field_size) {
  std::optional<std::string> path = control_file_path(name, field_size);
  if (!path) request_error(": invalid file name");
  return *path;
}

void set_editor_size(const char* rows, const char* cols) {
  set_page_var("RW", rows != nullptr ? rows : kDefaultRows);
  set_page_var("CL", cols != nullptr ? cols : kDefaultCols);
}

// The store's own writers change some control files line by line under a
// lock: the editor takes the same lock, with the same wait, so neither
// writes over the other's change. A lock that cannot be had is a request
// error; the file is left as it was.
class StoreTableLock {
 public:
  StoreTableLock(const char* name, const std::string& path) {
    if (!is_store_control_file(name)) return;
    if (lock_.lock(lock_file_path(path)) != 0) request_error(": could not write " + std::string(name));
  }

 private:
  FileLock lock_;
};

// Up to `limit` bytes of an open file, as text (it ends at a zero byte).
std::string read_text(FILE* file, size_t limit) {
  std::string buffer(limit, '\0');
  size_t got = std::fread(buffer.data(), 1, limit, file);
  buffer.resize(got);
  return std::string(buffer.c_str());
}

}  // namespace

std::span<const ControlFile> control_file_table() { return kControlFiles; }

std::optional<std::string> control_file_path(std::string_view name, size_t field_size) {
  if (name.find_first_of("./") != std::string_view::npos) return std::nullopt;
  std::string path = qmail_control_file(name);
  // The field holds the host's path; a sandbox root in front of it must not
  // change which names fit.
  if (path.size() - site_root().size() >= field_size) return std::nullopt;
  return path;
}

std::string control_link_line(std::string_view name) {
  return "<a href=/cgi-bin/larkspur/larkspur.cgi?nav=display_file&fname=" + url_encode(name) +
         ">" + html_escape(name) + "</a>\n";
}

std::string control_file_content(std::string_view text) {
  std::string content;
  content.reserve(text.size() + 1);
  for (char c : text) {
    if (c != '\r' && c != '\v') content += c;
  }
  if (text.empty() || text.back() != '\n') content += '\n';
  return content;
}

void show_controls_page() {
  print_template("html/qmail_controls_top.html", false);
  for (const ControlFile& file : kControlFiles) {
    set_page_markup("a0", control_link_line(file.name));
    // The bare name too, so a template can build a link of its own with
    // quoted attributes: the link line's unquoted address with its "&" and
    // "=" is not valid HTML5. Table names need no URL encoding.
    set_page_var("a3", file.name);
    // Only a plain file is read: a FIFO would hold the page forever.
    FILE* in = fopen_regular(qmail_control_file(file.name), true);
    if (in != nullptr) {
      set_page_var("a1", read_text(in, kControlPreview));
      std::fclose(in);
    } else {
      set_page_var("a1", "default");
    }
    set_page_var("a2", file.description);
    print_template("html/qmail_controls_middle.html", false);
  }
  print_final_page("html/qmail_controls_bottom.html");
}

void display_file() {
  const char* name = form_value("fname");
  if (name == nullptr) request_error(": cannot find file");
  const std::string path = checked_path(name, kEditPathField);
  set_page_var("NM", name);
  set_editor_size(form_value("rows"), form_value("cols"));
  struct stat st;
  // A file that does not exist yet opens as an empty editor to create it.
  if (lstat(path.c_str(), &st) != 0) print_final_page("html/ctrl_file.html");
  if (S_ISLNK(st.st_mode)) request_error(": not a file");
  FILE* in = fopen_regular(path, false);
  if (in == nullptr) request_error("could not open " + std::string(name));
  set_page_var("CF", read_text(in, static_cast<size_t>(st.st_size)));
  std::fclose(in);
  print_final_page("html/ctrl_file.html");
}

void modify_file() {
  const char* name = form_value("file_name");
  const char* text = form_value("tarea");
  if (name == nullptr || text == nullptr) request_error(": invalid input data");
  const std::string path = checked_path(name, kEditPathField);
  // A body cut at the request limit holds only the start of the text:
  // writing it would lose the rest of the file.
  if (request.body_cut) request_error(": request too large, " + std::string(name) + " not saved");
  StoreTableLock lock(name, path);
  struct stat st;
  const bool existed = lstat(path.c_str(), &st) == 0;
  if (existed && S_ISLNK(st.st_mode)) request_error(": not a file");
  // A folder, socket, pipe or device cannot be written as a control file;
  // replacing it by a plain file would destroy what stands there.
  if (existed && !S_ISREG(st.st_mode)) request_error(": could not find " + std::string(name));
  switch (replace_file(path, control_file_content(text), existed ? &st : nullptr)) {
    case ReplaceResult::kNoTempFile: request_error(": could not find " + std::string(name));
    case ReplaceResult::kWriteFailed: request_error(": could not write " + std::string(name));
    case ReplaceResult::kDone: break;
  }
  add_message(std::string(name) + " updated successfully");
  set_page_var("CF", text);
  set_page_var("NM", name);
  set_editor_size(form_value("rws"), form_value("cls"));
  show_controls_page();
}

void delete_file() {
  const char* name = form_value("file_name");
  if (name == nullptr) request_error(": invalid input data");
  const std::string path = checked_path(name, kDeletePathField);
  StoreTableLock lock(name, path);
  // A file that is not there is nothing to delete; any other failure (a
  // folder at the name, a read-only control folder) leaves the file, and
  // the page and the log must say so.
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    request_error(": could not delete " + std::string(name));
  }
  show_controls_page();
}

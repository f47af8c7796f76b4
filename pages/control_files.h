// The control-file pages: list qmail's control files with their contents,
// show one in an editor, write one, delete one. Every handler ends the
// process after its page; every failure is a request error (its text on
// html/init_error.html). No right of the access list is needed.
//
// A control-file name from a form is valid when it holds neither "." nor
// "/" and its path fits the path field; any such name may be shown,
// written or deleted, not only the listed ones. Names starting with "."
// are therefore never reachable, which keeps the editor's own temporary
// files out of its reach.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct ControlFile {
  const char* name;
  const char* description;  // qmail's default, shown when the file is absent
};

// The 24 files of the list page, in the order they are shown.
std::span<const ControlFile> control_file_table();

// The list page's per-file bytes: at most this many are shown.
inline constexpr size_t kControlPreview = 999;

// The path of a control file named in a form, or none when the name holds
// "." or "/" or the host's path (without a sandbox root) would not fit in
// `field_size` bytes (a cut path would name a different file).
std::optional<std::string> control_file_path(std::string_view name, size_t field_size);

// The list page's link to a file's editor: program markup whose name is
// URL-encoded in the address and HTML-escaped in the text.
std::string control_link_line(std::string_view name);

// The bytes modify_file writes for an editor text: carriage returns and
// vertical tabs left out, and a newline added when the text is empty or its
// last byte is not a newline.
std::string control_file_content(std::string_view text);

// The list page (nav "show_controls", and the end of modify and delete):
// "a0" link line, "a1" content (first 999 bytes, or "default" when the file
// will not open), "a2" description, for each file of the table.
[[noreturn]] void show_controls_page();

// nav "display_file": one control file in the editor ("NM", "RW", "CL",
// "CF"). A missing file gives an empty editor. Errors: ": cannot find
// file", ": invalid file name", ": not a file" (a link), "could not open
// NAME".
[[noreturn]] void display_file();

// nav "modify_file": writes a control file from the editor. The new text
// goes to a temporary file in the control folder that replaces the old file
// by a rename, keeping an existing file's owner and mode (a new file gets
// 0666 less the umask). Errors: ": invalid input data", ": invalid file
// name", ": not a file", ": could not find NAME" (the name is something
// other than a plain file, or no temporary file could be made), ": could
// not write NAME" (short write, failed close, mode or
// owner, or rename); after an error the old file is unchanged and no
// temporary file is left.
[[noreturn]] void modify_file();

// nav "delete_file": removes a control file; a file that is not there is
// no error. Errors: ": invalid input data", ": invalid file name", ": could
// not delete NAME" (the removal failed; the name is left as it was).
[[noreturn]] void delete_file();

// The control-file pages: list qmail's control files with their contents,
// show one in an editor, write one, delete one. Every handler ends the
// process after its page.
#pragma once

// The list page (nav "show_controls", and the end of modify and delete).
[[noreturn]] void show_controls_page();

// nav "display_file": one control file in the editor.
[[noreturn]] void display_file();

// nav "modify_file": writes a control file from the editor.
[[noreturn]] void modify_file();

// nav "delete_file": removes a control file.
[[noreturn]] void delete_file();

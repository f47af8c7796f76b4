// A whole small file read into memory, and a text cut into its lines: for
// readers that look at a file as a whole (the store check compares tables
// and password files line by line) rather than pass it through once.
//
// Routines:
//   read_whole_file  the file's bytes into text, opened as a plain file
//                    that others could replace (a link is not followed).
//                    true when the whole file was read; false when it
//                    cannot be opened or read, or holds more than
//                    max_bytes (text then holds what was read so far).
//   split_lines      the lines of a text without their "\n"; a last line
//                    without one counts too, an empty text has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kWholeFileNoLimit = SIZE_MAX;

bool read_whole_file(const std::string& path, std::string& text, size_t max_bytes);

std::vector<std::string> split_lines(std::string_view text);

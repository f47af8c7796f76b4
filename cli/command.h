// The tessera tool's command groups and their shared conventions.
//
// A command gets the words after its group's name ("domain add NAME" gives
// the domain group {"add", "NAME"}). It returns the process's exit status:
// 0 on success; 1 after the store's message (error_string) or the tool's own
// on stderr; kUsageStatus when the words do not form a command of the group,
// in which case main prints the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Words = std::vector<std::string>;

inline constexpr int kUsageStatus = 2;

int domain_command(const Words& words);
int limits_command(const Words& words);
int user_command(const Words& words);
int init_command(const Words& words);
int check_command(const Words& words);

// domain usage [NAME] (usage_report.cc); user import (import_command.cc).
int domain_usage(const Words& names);
int import_command(const Words& words);

// Prints the message of a store code on stderr and gives the failure status.
int report_failure(int32_t code);

// Prints a message of the tool's own on stderr and gives the failure status.
int report_failure(const char* message);

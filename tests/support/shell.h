// Shell commands for tests that drive whole programs.
#pragma once

#include <string>

// Runs a command with /bin/sh; returns its standard output.
std::string Shell(const std::string& command);
// Runs a command; returns its exit status (-1 if it did not exit) and keeps
// its standard output in *out when asked.
int ShellStatus(const std::string& command, std::string* out = nullptr);
// Quotes text for a POSIX shell.
std::string Quote(const std::string& text);

// Two programs writing one log: what log_writer (tests/wine/helpers) leaves
// in comlog.log and comlog.bak, checked line by line.
#pragma once

#include <string>
#include <vector>

// The shell command that runs two log_writer commands at once in dir and
// waits for both; its status is 0 only when both wrote every line.
std::string TwoWriters(const std::string& dir, const std::string& first, const std::string& second);

// Checks dir's comlog.bak and comlog.log (the older first) after writers
// with the given tags each wrote count lines: every line whole, with
// lineEnd; every numbered line present exactly once, in order per file, or
// else listed in dir/TAG.lost (counted as not written by its writer), never
// both; and the log rotated (a backup holds lines). Returns "" or what is
// wrong.
std::string CheckSharedLog(const std::string& dir, const std::vector<std::string>& tags, int count,
                           const std::string& lineEnd);

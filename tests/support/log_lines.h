// The log's line format, once for every test: a time stamp
// "YYYY\MM\DD hh:mm:ss.mmm -> " (12-hour clock, milliseconds in three
// columns), then a trace line (a sent or received telegram's letters and
// digits and every byte in hex, or a receive error) or one of the program's
// own messages (a figure of the report, the port lost or back, the log
// written again after a failure).
#pragma once

#include <string>
#include <vector>

// True when line (without its line break) is one whole log line.
bool IsWholeLogLine(const std::string& line);

struct LogFileCheck {
  int lines = 0;         // lines in the file
  int bad = 0;           // lines that are not whole log lines
  std::string firstBad;  // the first of them, for the failure message
  bool endsInLineBreak = false;
  bool holdsNul = false;
};
LogFileCheck CheckLogFile(const std::string& path);

// The names of the log files (comlog.*) in dir, sorted.
std::vector<std::string> LogFilesIn(const std::string& dir);

#include "log_lines.h"

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "files.h"

bool IsWholeLogLine(const std::string& line) {
  static const std::regex kLine(
      R"(\d{4}\\\d{2}\\\d{2} (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d\.[ \d]{2}\d -> )"
      R"(((<<< |>>> )[A-Za-z0-9]* \{([0-9a-f]{2} )*\}|ERR [A-Za-z0-9]*|)"
      R"([A-Z][A-Za-z ()]*: [0-9]+|COM[1-6] (lost: .+|open again|= .+|opened)|)"
      R"(comlog\.log written again; [0-9]+ lines were not written|)"
      R"(comlog\.log cannot be rotated: .+))");
  return std::regex_match(line, kLine);
}

LogFileCheck CheckLogFile(const std::string& path) {
  const std::string text = ReadFile(path);
  LogFileCheck c;
  c.endsInLineBreak = !text.empty() && text.back() == '\n';
  c.holdsNul = text.find('\0') != std::string::npos;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line); ++c.lines) {
    if (IsWholeLogLine(line)) continue;
    if (c.bad++ == 0) c.firstBad = line;
  }
  return c;
}

std::vector<std::string> LogFilesIn(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("comlog", 0) == 0) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  return files;
}

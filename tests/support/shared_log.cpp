#include "shared_log.h"

#include <map>
#include <regex>
#include <sstream>

#include "files.h"
#include "shell.h"

namespace {

// One file's lines, each checked; seen gets each writer's numbers in order.
std::string CheckFile(const std::string& text, const std::string& lineEnd,
                      std::map<std::string, std::vector<int>>& seen) {
  static const std::regex kLine(
      R"(\d{4}\\\d{2}\\\d{2} (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d\.[ \d]{2}\d -> )"
      R"((\S+) (\d{6}) abcdefghijklmnopqrstuvwxyz0123456789)");
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find(lineEnd, at);
    if (end == std::string::npos) return "a line without its line end: " + text.substr(at);
    const std::string line = text.substr(at, end - at);
    at = end + lineEnd.size();
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) return "not a whole line: " + line;
    seen[m[2]].push_back(std::stoi(m[3]));
  }
  return "";
}

}  // namespace

std::string TwoWriters(const std::string& dir, const std::string& first,
                       const std::string& second) {
  return "cd " + Quote(dir) + " && { " + first + " 2>first.err & a=$!; " + second +
         " 2>second.err & b=$!; wait $a; s=$?; wait $b; exit $((s | $?)); }";
}

std::string CheckSharedLog(const std::string& dir, const std::vector<std::string>& tags, int count,
                           const std::string& lineEnd) {
  const std::string bak = ReadFile(dir + "/comlog.bak");
  if (bak.empty()) return "no rotation: comlog.bak is missing or empty";
  const std::string log = ReadFile(dir + "/comlog.log");
  std::map<std::string, std::vector<int>> seen;
  for (const std::string* text : {&bak, &log}) {
    const std::string why = CheckFile(*text, lineEnd, seen);
    if (!why.empty()) return why;
  }
  // Each writer's numbers, the backup's before the log's: 1 to count, each
  // once and in order.
  for (const std::string& tag : tags) {
    const std::vector<int>& got = seen[tag];
    for (int i = 0; i < count; ++i) {
      if (i < static_cast<int>(got.size()) && got[static_cast<std::size_t>(i)] == i + 1) continue;
      std::ostringstream s;
      s << tag << ": " << got.size() << " lines of " << count << ", line " << i + 1
        << " missing or out of place";
      return s.str();
    }
    if (static_cast<int>(got.size()) != count) return tag + ": lines twice";
  }
  return seen.size() == tags.size() ? "" : "lines of an unknown writer";
}

#include "shared_log.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "files.h"
#include "shell.h"

namespace {

// One file's lines, each checked; seen gets each writer's numbers in order.
std::string CheckFile(const std::string& text, const std::string& lineEnd,
                      std::map<std::string, std::vector<int>>& seen) {
  static const std::regex kLine(
      R"(\d{4}\\\d{2}\\\d{2} (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d\.[ \d]{2}\d -> )"
      R"(((\S+) (\d{6}) abcdefghijklmnopqrstuvwxyz0123456789|)"
      R"(comlog\.log written again; \d+ lines were not written))");
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find(lineEnd, at);
    if (end == std::string::npos) return "a line without its line end: " + text.substr(at);
    const std::string line = text.substr(at, end - at);
    at = end + lineEnd.size();
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) return "not a whole line: " + line;
    if (m[3].matched) seen[m[3]].push_back(std::stoi(m[4]));
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
  // once and in order, but for those it counted as not written.
  for (const std::string& tag : tags) {
    std::istringstream listed(ReadFile(dir + "/" + tag + ".lost"));
    const std::set<int> lost{std::istream_iterator<int>(listed), std::istream_iterator<int>()};
    std::vector<int> owed;
    for (int i = 1; i <= count; ++i)
      if (lost.count(i) == 0) owed.push_back(i);
    const std::vector<int>& got = seen[tag];
    if (got == owed) continue;
    const auto m = std::mismatch(got.begin(), got.end(), owed.begin(), owed.end());
    std::ostringstream s;
    s << tag << ": " << got.size() << " lines, " << lost.size() << " counted as not written, of "
      << count << "; first difference: " << (m.first == got.end() ? 0 : *m.first) << " for "
      << (m.second == owed.end() ? 0 : *m.second);
    return s.str();
  }
  return seen.size() == tags.size() ? "" : "lines of an unknown writer";
}

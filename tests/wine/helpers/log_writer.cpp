// A helper for the tests of a log shared by two programs, built for Linux
// and cross-built for Windows:
//
//   log_writer TAG COUNT LIMIT
//
// writes COUNT numbered lines "TAG 000001 ..." with printlog to comlog.log in
// the working directory, rotating past LIMIT bytes, as the monitor does. Two
// of them run at once in one folder. The echo is dropped, except the log's
// own notices (a line not written, a rotation failed), which go to stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "print_log.h"

namespace {

bool g_otherFailure = false;

void NoticesOnly(const char* message) {
  if (std::strstr(message, "comlog.log ") != message) return;
  std::fputs(message, stderr);
  if (std::strstr(message, "cannot") && !std::strstr(message, "holds the log's lock"))
    g_otherFailure = true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: log_writer TAG COUNT LIMIT\n", stderr);
    return 2;
  }
  const int count = std::atoi(argv[2]);
  printlog_set_echo(NoticesOnly);
  printlog_init("comlog", 1, std::atoi(argv[3]));
  // A line long enough that two writers' lines would visibly mix.
  static const char kFill[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  char lostName[64];
  std::snprintf(lostName, sizeof lostName, "%.40s.lost", argv[1]);
  std::FILE* lost = std::fopen(lostName, "w");
  if (!lost) return 1;
  for (int i = 1; i <= count; ++i) {
    const long long before = printlog_lines_lost();
    printlog("%s %06d %s\n", argv[1], i, kFill);
    if (printlog_lines_lost() != before) std::fprintf(lost, "%d\n", i);
  }
  return std::fclose(lost) == 0 && !g_otherFailure ? 0 : 1;
}

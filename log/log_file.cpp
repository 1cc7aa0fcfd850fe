// What the log file does the same on every platform, on top of the
// platform's own part (log_file_posix.cpp, log_file_win32.cpp).
#include "log_file.h"

bool LogAppendFile::Rotate(const char* bak) {
  if (!MoveAside(bak)) {
    KeepError();
    return false;
  }
  Close();
  Open();
  return true;
}

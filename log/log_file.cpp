// What the log file does the same on every platform, on top of the
// platform's own part (log_file_posix.cpp, log_file_win32.cpp).
#include "log_file.h"

#include <algorithm>
#include <cstdio>
#include <thread>

const char kLogLockBusy[] = "another program holds the log's lock";

namespace {

// The pause between two tries of a lock another program holds: short
// against the time given, long enough not to spin.
constexpr std::chrono::milliseconds kLockPause{5};

}  // namespace

LogLock::LogLock(const char* path, std::chrono::milliseconds wait)
    : path_(path), deadline_(std::chrono::steady_clock::now() + wait), handle_(-1) {
  Take();
}

LogLock::~LogLock() { Release(); }

void LogLock::Take() {
  while ((state_ = TryOnce()) == State::Busy) {
    const auto left = deadline_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kLockPause));
  }
}

LogAppendFile::LogAppendFile(const char* path, std::chrono::milliseconds wait)
    : path_(path), lock_(path, wait) {
  OpenUnderLock();
}

LogAppendFile::~LogAppendFile() { Close(); }

void LogAppendFile::OpenUnderLock() {
  if (LockBusy()) {
    std::snprintf(error_, sizeof error_, "%s", kLogLockBusy);
    return;
  }
  Open();
}

bool LogAppendFile::Rotate(const char* bak) {
  if (!MoveAside(bak)) {
    KeepError();
    return false;
  }
  Close();
  lock_.Follow();
  OpenUnderLock();
  return true;
}

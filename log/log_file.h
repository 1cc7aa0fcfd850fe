// The log file itself: the one part of the log writer that differs between
// POSIX and Windows. CMake picks log_file_posix.cpp or log_file_win32.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "system_error.h"

// How the line break of a log line is written: "\n" on POSIX, "\r\n" on
// Windows (the program builds the line itself; no C runtime text mode).
extern const char kLogLineBreak[];

// What became of a line handed to LogAppendFile::Append.
enum class LogAppend : uint8_t {
  Whole,     // every byte is in the file
  None,      // nothing of it is in the file (a part written was cut back)
  Fragment,  // a part is in the file and could not be cut back
};

// The reason kept when another program holds the log's lock.
extern const char kLogLockBusy[];

// The lock that every program writing a log in the same folder takes (two
// programs on two ports may share one folder): POSIX flock on the folder,
// Windows LockFileEx on a byte range of the log far beyond any real size.
// It is tried without blocking, with short sleeps, until the time given has
// passed, so that a program frozen while it holds the lock never holds up
// this one's line. Released by the destructor.
class LogLock {
 public:
  enum class State : uint8_t {
    Held,      // this program has it
    Busy,      // another program held it for all the time given
    Unlocked,  // none can be had (a folder that cannot be read, a file
               // system without locks): the line is written all the same
  };
  // path is kept, not copied: it must outlive the object.
  LogLock(const char* path, std::chrono::milliseconds wait);
  ~LogLock();
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

  State state() const { return state_; }
  // After the log was renamed aside: on Windows the new log at the path is
  // opened and locked within the time left, and only then the old file's
  // lock let go; on POSIX the folder's lock stands as it is.
  void Follow();
  // On Windows the log opened for reading, through which the lock is held
  // and the size read; on POSIX the folder.
  std::intptr_t handle() const { return handle_; }

 private:
  // One try without blocking; opens what the lock is taken through first.
  State TryOnce();
  // Tries until the lock is had or the deadline has passed.
  void Take();
  void Release();
  const char* path_;
  std::chrono::steady_clock::time_point deadline_;
  std::intptr_t handle_;
  State state_ = State::Unlocked;
};

// A log file opened for appending, created when missing, closed by its
// destructor, and held under the log's lock (LogLock), which it takes first
// and lets go last: the size test, the rotation, the write and the cut-back
// of a fragment happen while it is held, so that no program rotates
// another's fresh log away or cuts back another's line. When the lock could
// not be had the file is not opened, and Error() says kLogLockBusy. On
// POSIX a symbolic link at path is never followed (the open fails), so a
// link planted in the working directory cannot redirect the log into
// another file, and SIGXFSZ is ignored from the first open on (a file size
// limit then fails the write instead of ending the program).
class LogAppendFile {
 public:
  // path is kept, not copied: it must outlive the object. wait: how long
  // another program's lock is waited for (zero: tried once).
  LogAppendFile(const char* path, std::chrono::milliseconds wait);
  ~LogAppendFile();
  LogAppendFile(const LogAppendFile&) = delete;
  LogAppendFile& operator=(const LogAppendFile&) = delete;

  bool IsOpen() const;
  // True when another program held the lock for all the time given.
  bool LockBusy() const { return lock_.state() == LogLock::State::Busy; }
  // The bytes the file holds on disk; -1 when that cannot be told.
  long long Size();
  // Writes the n bytes at the end with one write. A short or failed write
  // is cut back to the file's size before it, where the file allows it.
  LogAppend Append(const char* data, std::size_t n);
  // Renames the log to bak, removing an older bak first (a missing one is
  // fine), and opens a new log at the path, all under the lock. False when
  // the log could not be renamed: then Error() holds the reason of the step
  // that failed first, and the old log stays open. When the new log's lock
  // cannot be had in the time left, it stays closed (LockBusy).
  bool Rotate(const char* bak);
  // The system's reason for the failed open, rotation or the last failed
  // Append, e.g. "No space left on device".
  const char* Error() const { return error_; }

 private:
  void Open();
  void OpenUnderLock();
  void Close();
  // Removes bak (a missing one is fine) and renames the log to it; false
  // with the system's error kept by the platform (errno, GetLastError).
  bool MoveAside(const char* bak);
  void KeepError();
  const char* path_;
  LogLock lock_;  // declared first: taken before the open, let go after the close
  std::intptr_t handle_ = -1;
  char error_[kSystemErrorTextMax] = "";
};

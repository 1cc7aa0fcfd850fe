// The log file itself: the one part of the log writer that differs between
// POSIX and Windows. CMake picks log_file_posix.cpp or log_file_win32.cpp.
#pragma once

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

// A log file opened for appending, created when missing, closed by its
// destructor, and held under the lock that every program writing a log in
// the same folder takes (two programs on two ports may share one folder):
// POSIX flock on the folder, Windows LockFileEx on a byte range of the log
// far beyond any real size. The size test, the rotation and the cut-back of
// a fragment happen while it is held, so that no program rotates another's
// fresh log away or cuts back another's line. On POSIX a symbolic link at
// path is never followed (the open fails), so a link planted in the working
// directory cannot redirect the log into another file, and SIGXFSZ is
// ignored from the first open on (a file size limit then fails the write
// instead of ending the program).
class LogAppendFile {
 public:
  // path is kept, not copied: it must outlive the object.
  explicit LogAppendFile(const char* path);
  ~LogAppendFile();
  LogAppendFile(const LogAppendFile&) = delete;
  LogAppendFile& operator=(const LogAppendFile&) = delete;

  bool IsOpen() const;
  // The bytes the file holds on disk; -1 when that cannot be told.
  long long Size();
  // Writes the n bytes at the end with one write. A short or failed write
  // is cut back to the file's size before it, where the file allows it.
  LogAppend Append(const char* data, std::size_t n);
  // Renames the log to bak, removing an older bak first (a missing one is
  // fine), and opens a new log at the path, all under the lock. False when
  // the log could not be renamed: then Error() holds the reason of the step
  // that failed first, and the old log stays open.
  bool Rotate(const char* bak);
  // The system's reason for the failed open, rotation or the last failed
  // Append, e.g. "No space left on device".
  const char* Error() const { return error_; }

 private:
  void Open();
  void Close();
  // Removes bak (a missing one is fine) and renames the log to it; false
  // with the system's error kept by the platform (errno, GetLastError).
  bool MoveAside(const char* bak);
  void KeepError();
  const char* path_;
  std::intptr_t handle_ = -1;
  // What holds the lock: on POSIX the folder, on Windows the log opened
  // for reading (a handle to lock through, as the append handle cannot be).
  std::intptr_t lock_ = -1;
  char error_[kSystemErrorTextMax] = "";
};

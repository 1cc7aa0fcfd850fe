// The log file itself: the one part of the log writer that differs between
// POSIX and Windows. CMake picks log_file_posix.cpp or log_file_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

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
// destructor. On POSIX a symbolic link at path is never followed (the open
// fails), so a link planted in the working directory cannot redirect the log
// into another file, and SIGXFSZ is ignored from the first open on (a file
// size limit then fails the write instead of ending the program).
class LogAppendFile {
 public:
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
  // The system's reason for the failed open or the last failed Append,
  // e.g. "No space left on device".
  const char* Error() const { return error_; }

 private:
  void KeepError();
  std::intptr_t handle_ = -1;
  char error_[128] = "";
};

#include <windows.h>

#include <cstdio>

#include "log_file.h"

// The program writes the CR LF itself, with no C runtime text mode between
// it and the file, so that a line goes out in one WriteFile.
const char kLogLineBreak[] = "\r\n";

namespace {
HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
const std::intptr_t kNoHandle = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}  // namespace

// Creating a symbolic link on Windows needs a privilege that a technician's
// folder does not hand out, so the plain open is kept. Write access (not
// only append) is asked for because cutting a fragment back needs it; each
// line is written after a seek to the end.
LogAppendFile::LogAppendFile(const char* path) {
  handle_ = reinterpret_cast<std::intptr_t>(
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (handle_ == kNoHandle) KeepError();
}

LogAppendFile::~LogAppendFile() {
  if (handle_ != kNoHandle) CloseHandle(H(handle_));
}

bool LogAppendFile::IsOpen() const { return handle_ != kNoHandle; }

void LogAppendFile::KeepError() {
  const DWORD code = GetLastError();
  char text[96] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  // FormatMessage ends its text with CR LF: cut it.
  for (char* p = text; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = '\0';
  std::snprintf(error_, sizeof error_, "%s (error %lu)", text, static_cast<unsigned long>(code));
}

long long LogAppendFile::Size() {
  LARGE_INTEGER size{};
  if (handle_ == kNoHandle || !GetFileSizeEx(H(handle_), &size)) return -1;
  return static_cast<long long>(size.QuadPart);
}

LogAppend LogAppendFile::Append(const char* data, std::size_t n) {
  LARGE_INTEGER before{};
  LARGE_INTEGER none{};
  if (!SetFilePointerEx(H(handle_), none, &before, FILE_END)) {
    KeepError();
    return LogAppend::None;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(H(handle_), data, static_cast<DWORD>(n), &written, nullptr);
  if (ok && written == n) return LogAppend::Whole;
  if (ok) SetLastError(ERROR_DISK_FULL);  // a short write that gives no reason
  KeepError();
  if (written == 0 && Size() == before.QuadPart) return LogAppend::None;
  const bool cut =
      SetFilePointerEx(H(handle_), before, nullptr, FILE_BEGIN) && SetEndOfFile(H(handle_));
  return cut ? LogAppend::None : LogAppend::Fragment;
}

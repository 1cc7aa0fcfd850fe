#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "log_file.h"
#include "system_error.h"

// The program writes the CR LF itself, with no C runtime text mode between
// it and the file, so that a line goes out in one WriteFile.
const char kLogLineBreak[] = "\r\n";

namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t I(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
const std::intptr_t kNoHandle = I(INVALID_HANDLE_VALUE);
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The byte that every program writing this log locks: 2^62, far beyond any
// real log, so that the lock never stands in the way of a write; a range
// past the end of the file may be locked ("LockFileEx function").
constexpr DWORD kLockOffsetHigh = 0x40000000;

// How often the log is opened and locked again when another program
// rotated it away between the open and the lock, before the try counts as
// the lock being busy.
constexpr int kMovedTries = 4;

struct LocalText {
  void operator()(wchar_t* p) const { LocalFree(p); }
};

// True when a and b are one file: the same volume and file index.
bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x{};
  BY_HANDLE_FILE_INFORMATION y{};
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// True when path still names the file held by h.
bool StillAt(HANDLE h, const char* path) {
  HANDLE now = CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (now == INVALID_HANDLE_VALUE) return false;
  const bool same = SameFile(h, now);
  CloseHandle(now);
  return same;
}

// One try for the log's byte without blocking: LOCKFILE_FAIL_IMMEDIATELY
// makes a range held elsewhere fail with ERROR_LOCK_VIOLATION instead of a
// wait ("LockFileEx function"). Any other failure is a file system without
// locks, where the line is written unlocked.
LogLock::State LockOnce(HANDLE h) {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
    return LogLock::State::Held;
  return GetLastError() == ERROR_LOCK_VIOLATION ? LogLock::State::Busy : LogLock::State::Unlocked;
}

// Lets the lock go, then the handle: a close alone leaves the lock's undoing
// to the system's own time ("LockFileEx function").
void Drop(std::intptr_t handle, bool locked) {
  if (handle == kNoHandle) return;
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (locked) UnlockFileEx(H(handle), 0, 1, 0, &at);
  CloseHandle(H(handle));
}

// FormatMessage's text without its line breaks (a line break inside becomes
// a blank) and without trailing blanks; returns its length.
int Tidy(wchar_t* text, int n) {
  for (int i = 0; i < n; ++i)
    if (text[i] == L'\r' || text[i] == L'\n') text[i] = L' ';
  while (n > 0 && text[n - 1] == L' ') --n;
  return n;
}

// The length of text's first n UTF-16 units in code page cp, in bytes.
int Bytes(UINT cp, const wchar_t* text, int n) {
  return n > 0 ? WideCharToMultiByte(cp, 0, text, n, nullptr, 0, nullptr, nullptr) : 0;
}

}  // namespace

// The text is asked for in UTF-16 and converted to the console's output
// code page, so that a German "Gerät" is not garbled as FormatMessageA's
// ANSI text would be; the log gets the same bytes. The system sizes the
// buffer, so no text is cut ("FormatMessageW function"). Without a console
// the OEM code page, which a console starts with, stands in.
void SystemErrorText(unsigned long code, char* out, std::size_t size) {
  if (size == 0) return;
  wchar_t* raw = nullptr;
  const DWORD got = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalText> text(got ? raw : nullptr);
  char suffix[32];
  const int suffixLen = std::snprintf(suffix, sizeof suffix, " (error %lu)", code);
  const int room = static_cast<int>(size) - 1 - suffixLen;
  int n = text ? Tidy(text.get(), static_cast<int>(got)) : 0;
  UINT cp = GetConsoleOutputCP();
  if (cp == 0) cp = GetOEMCP();
  // Only a buffer smaller than any real text makes this loop cut.
  while (n > 0 && (room <= 0 || Bytes(cp, text.get(), n) > room)) --n;
  if (n > 0 && IS_HIGH_SURROGATE(text.get()[n - 1])) --n;
  const int len =
      n > 0 ? WideCharToMultiByte(cp, 0, text.get(), n, out, room, nullptr, nullptr) : 0;
  if (len <= 0) {
    std::snprintf(out, size, "error %lu", code);
    return;
  }
  std::snprintf(out + len, size - static_cast<std::size_t>(len), "%s", suffix);
}

// The log opened for reading, as LockFileEx asks for GENERIC_READ or
// GENERIC_WRITE, and its byte locked. A program that rotated the log between
// the open and the lock has left this handle on the backup: then the new
// log is opened and locked.
LogLock::State LogLock::TryOnce() {
  for (int i = 0; i < kMovedTries; ++i) {
    if (handle_ == kNoHandle)
      handle_ = I(CreateFileA(path_, GENERIC_READ, kShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle_ == kNoHandle) return State::Unlocked;
    const State got = LockOnce(H(handle_));
    if (got != State::Held || StillAt(H(handle_), path_)) return got;
    Drop(handle_, true);
    handle_ = kNoHandle;
  }
  return State::Busy;
}

// The renamed log's lock is held until the new log at the path is open and
// locked, so that no program finds the log unlocked in between.
void LogLock::Follow() {
  const std::intptr_t old = handle_;
  const bool locked = state_ == State::Held;
  handle_ = kNoHandle;
  Take();
  Drop(old, locked);
}

void LogLock::Release() {
  Drop(handle_, state_ == State::Held);
  handle_ = kNoHandle;
}

// The lines go out through a handle with FILE_APPEND_DATA and no
// FILE_WRITE_DATA: every write lands at the end of the file whatever another
// program wrote meanwhile, with no seek between ("NtCreateFile function").
// Creating a symbolic link on Windows needs a privilege that a technician's
// folder does not hand out, so the plain open is kept.
void LogAppendFile::Open() {
  handle_ = I(CreateFileA(path_, FILE_APPEND_DATA | SYNCHRONIZE, kShareAll, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (handle_ == kNoHandle) KeepError();
}

void LogAppendFile::Close() {
  if (handle_ != kNoHandle) CloseHandle(H(handle_));
  handle_ = kNoHandle;
}

bool LogAppendFile::IsOpen() const { return handle_ != kNoHandle; }

void LogAppendFile::KeepError() { SystemErrorText(GetLastError(), error_, sizeof error_); }

long long LogAppendFile::Size() {
  LARGE_INTEGER size{};
  const std::intptr_t h = lock_.handle();
  if (h == kNoHandle || !GetFileSizeEx(H(h), &size)) return -1;
  return static_cast<long long>(size.QuadPart);
}

// Every handle to the log allows FILE_SHARE_DELETE, so the log is renamed
// while this program and others hold it open. A program waiting for the
// lock on the renamed file finds it no longer at the path and opens the new
// log (LogLock::TryOnce).
bool LogAppendFile::MoveAside(const char* bak) {
  return (DeleteFileA(bak) || GetLastError() == ERROR_FILE_NOT_FOUND) && MoveFileA(path_, bak);
}

// SetEndOfFile needs a handle with GENERIC_WRITE ("SetEndOfFile function"),
// which the append handle has not: the cut goes through a second handle,
// opened for it alone while the lock keeps every other program's lines away.
LogAppend LogAppendFile::Append(const char* data, std::size_t n) {
  const long long before = Size();
  DWORD written = 0;
  const BOOL ok = WriteFile(H(handle_), data, static_cast<DWORD>(n), &written, nullptr);
  if (ok && written == n) return LogAppend::Whole;
  if (ok) SetLastError(ERROR_DISK_FULL);  // a short write that gives no reason
  KeepError();
  if (Size() == before) return LogAppend::None;
  HANDLE cutter = before < 0 ? INVALID_HANDLE_VALUE
                             : CreateFileA(path_, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (cutter == INVALID_HANDLE_VALUE) return LogAppend::Fragment;
  LARGE_INTEGER at{};
  at.QuadPart = before;
  const bool cut = SetFilePointerEx(cutter, at, nullptr, FILE_BEGIN) && SetEndOfFile(cutter);
  CloseHandle(cutter);
  return cut ? LogAppend::None : LogAppend::Fragment;
}

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
// real log, so that the lock never stands in the way of a write. LockFileEx:
// "Locking a region that goes beyond the current end-of-file position is
// not an error."
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-lockfileex
constexpr DWORD kLockOffsetHigh = 0x40000000;

// How often the lock is taken again when the log was rotated away by
// another program while this one waited for it.
constexpr int kLockTries = 16;

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

// Opens the log at path for reading and takes its lock, waiting for another
// program's line to be done. A program that rotated the log meanwhile has
// left this handle on the backup: then the new log is opened and locked.
// Where no lock can be had (a file system without locks, or a log rotated
// away time after time) the line is written all the same, unlocked.
HANDLE OpenLocked(const char* path) {
  for (int i = 0; i < kLockTries; ++i) {
    HANDLE h = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) || StillAt(h, path)) return h;
    CloseHandle(h);  // closing the handle releases its lock
  }
  return CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
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
// code page (the OEM code page unless the user changed it), so that a
// German "Gerät" is not garbled as the ANSI text of FormatMessageA would
// be; the log gets the same bytes. FORMAT_MESSAGE_ALLOCATE_BUFFER lets the
// system size the buffer, so no text is cut or lost to a buffer too small
// ("If the output buffer is too small... the function fails").
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-formatmessagew
// https://learn.microsoft.com/en-us/windows/console/getconsoleoutputcp
// Without a console GetConsoleOutputCP returns 0; the OEM code page, which
// a console starts with, stands in.
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

LogAppendFile::LogAppendFile(const char* path) : path_(path) { Open(); }

LogAppendFile::~LogAppendFile() { Close(); }

// The lock is taken through a handle opened for reading, as LockFileEx asks
// for GENERIC_READ or GENERIC_WRITE; the lines go out through a handle with
// FILE_APPEND_DATA and no FILE_WRITE_DATA, so that every write lands at the
// end of the file whatever another program wrote meanwhile, with no seek
// between ("If only the FILE_APPEND_DATA and SYNCHRONIZE flags are set, the
// caller can write only to the end of the file, and any offset information
// on writes to the file is ignored.")
// https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
// https://learn.microsoft.com/en-us/windows/win32/fileio/file-access-rights-constants
// Creating a symbolic link on Windows needs a privilege that a technician's
// folder does not hand out, so the plain open is kept.
void LogAppendFile::Open() {
  lock_ = I(OpenLocked(path_));
  if (lock_ == kNoHandle) return KeepError();
  handle_ = I(CreateFileA(path_, FILE_APPEND_DATA | SYNCHRONIZE, kShareAll, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (handle_ == kNoHandle) KeepError();
}

void LogAppendFile::Close() {
  if (handle_ != kNoHandle) CloseHandle(H(handle_));
  if (lock_ != kNoHandle) CloseHandle(H(lock_));  // releases the lock
  handle_ = kNoHandle;
  lock_ = kNoHandle;
}

bool LogAppendFile::IsOpen() const { return handle_ != kNoHandle; }

void LogAppendFile::KeepError() { SystemErrorText(GetLastError(), error_, sizeof error_); }

long long LogAppendFile::Size() {
  LARGE_INTEGER size{};
  if (lock_ == kNoHandle || !GetFileSizeEx(H(lock_), &size)) return -1;
  return static_cast<long long>(size.QuadPart);
}

// Every handle to the log allows FILE_SHARE_DELETE, so the log is renamed
// while this program and others hold it open. A program waiting for the
// lock on the renamed file finds it no longer at the path and opens the new
// log (OpenLocked).
bool LogAppendFile::MoveAside(const char* bak) {
  return (DeleteFileA(bak) || GetLastError() == ERROR_FILE_NOT_FOUND) && MoveFileA(path_, bak);
}

// SetEndOfFile needs a handle with GENERIC_WRITE ("The handle must have
// been created with the GENERIC_WRITE access right"), which the append
// handle has not: the cut goes through a second handle, opened for it alone
// while the lock keeps every other program's lines away.
// https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-setendoffile
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

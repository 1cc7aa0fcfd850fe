#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "log_file.h"

const char kLogLineBreak[] = "\n";

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// The folder that holds path, opened for its lock and nothing else.
int OpenFolder(const char* path) {
  char folder[512] = ".";
  const char* slash = std::strrchr(path, '/');
  if (slash == path) {
    std::snprintf(folder, sizeof folder, "/");
  } else if (slash) {
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - path), path);
  }
  return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

// flock with LOCK_NB: another program's lock is a refusal (EWOULDBLOCK) at
// once, never a wait. Without a lock (a folder that cannot be read, a file
// system without flock) the line is written all the same.
LogLock::State LogLock::TryOnce() {
  if (handle_ < 0) handle_ = OpenFolder(path_);
  if (handle_ < 0) return State::Unlocked;
  if (flock(Fd(handle_), LOCK_EX | LOCK_NB) == 0) return State::Held;
  if (errno == EWOULDBLOCK || errno == EINTR) return State::Busy;
  Release();
  return State::Unlocked;
}

// The folder's lock does not move with the log's name.
void LogLock::Follow() {}

void LogLock::Release() {
  if (handle_ >= 0) close(Fd(handle_));  // releases the lock
  handle_ = -1;
}

// O_NOFOLLOW: a symbolic link as the last name fails with ELOOP instead of
// appending (possibly as root) to whatever the link points to. O_NONBLOCK:
// a named pipe planted as the log fails at once instead of waiting for a
// reader (it changes nothing for a regular file). O_APPEND: each write
// lands at the end as one piece.
void LogAppendFile::Open() {
  // A file size limit (ulimit -f) reached by the log would end the program
  // with SIGXFSZ; ignored, the write fails with EFBIG like a full disk.
  static const bool kSizeSignalIgnored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
  (void)kSizeSignalIgnored;
  handle_ = open(path_, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (handle_ < 0) KeepError();
}

void LogAppendFile::Close() {
  if (handle_ >= 0) close(Fd(handle_));
  handle_ = -1;
}

bool LogAppendFile::IsOpen() const { return handle_ >= 0; }

void LogAppendFile::KeepError() {
  std::snprintf(error_, sizeof error_, "%s", std::strerror(errno));
}

long long LogAppendFile::Size() {
  struct stat st {};
  if (handle_ < 0 || fstat(Fd(handle_), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

// unlink and rename act on the names themselves: a symbolic link planted as
// the backup is removed, never the file it points to, and a folder in the
// backup's place is never removed (unlink refuses it).
bool LogAppendFile::MoveAside(const char* bak) {
  return (unlink(bak) == 0 || errno == ENOENT) && rename(path_, bak) == 0;
}

LogAppend LogAppendFile::Append(const char* data, std::size_t n) {
  const long long before = Size();
  ssize_t w = write(Fd(handle_), data, n);
  if (w >= 0 && static_cast<std::size_t>(w) == n) return LogAppend::Whole;
  if (w > 0) {
    // A short write (the disk filled, the file size limit): the rest once
    // more, which either completes the line or says why it cannot.
    const ssize_t rest = write(Fd(handle_), data + w, n - static_cast<std::size_t>(w));
    if (rest >= 0 && static_cast<std::size_t>(rest) == n - static_cast<std::size_t>(w))
      return LogAppend::Whole;
    if (rest >= 0) errno = ENOSPC;  // still short, and no reason given
  }
  KeepError();
  if (Size() == before) return LogAppend::None;
  // Under the folder's lock no other program has written since `before`,
  // so what lies past it is this line's own fragment.
  const int saved = errno;
  const bool cut = before >= 0 && ftruncate(Fd(handle_), static_cast<off_t>(before)) == 0;
  errno = saved;
  return cut ? LogAppend::None : LogAppend::Fragment;
}

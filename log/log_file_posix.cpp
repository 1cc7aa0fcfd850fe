#include <fcntl.h>
#include <unistd.h>

#include "log_file.h"

std::FILE* OpenLogAppend(const char* path) {
  // O_NOFOLLOW: a symbolic link as the last name fails with ELOOP instead of
  // appending (possibly as root) to whatever the link points to. O_NONBLOCK:
  // a named pipe planted as the log fails at once instead of waiting for a
  // reader (it changes nothing for a regular file).
  const int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, "a");
  if (!f) close(fd);
  return f;
}

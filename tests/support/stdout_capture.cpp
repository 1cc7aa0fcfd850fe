#include "stdout_capture.h"

#include <unistd.h>

#include <cstdio>

namespace {

// The buffer: a temporary file; stdout shares its file offset while captured.
int Sink() {
  static const int fd = fileno(std::tmpfile());
  return fd;
}

}  // namespace

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  dup2(Sink(), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

std::string TakeCapturedStdout() {
  std::fflush(stdout);
  const int fd = Sink();
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  if (ftruncate(fd, 0) != 0) text += "<capture not cleared>";
  lseek(fd, 0, SEEK_SET);
  return text;
}

#include "pty_pair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "line_io.h"

PtyPair::PtyPair() {
  char name[256] = "";
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return;
  }
  slave_path_ = name;
  // Programs a test starts must not inherit the pair: a child that holds the
  // master keeps the line up after CloseMaster.
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Write(const std::vector<unsigned char>& bytes) const {
  if (!WriteAll(master_, bytes)) ADD_FAILURE() << "write to pty master failed";
}

std::vector<unsigned char> PtyPair::Read(int timeout_ms) const {
  std::vector<unsigned char> out;
  pollfd p{master_, POLLIN, 0};
  while (poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN)) {
    unsigned char buf[256];
    const ssize_t r = read(master_, buf, sizeof buf);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

std::vector<unsigned char> PtyPair::ReadExactly(std::size_t n, int timeout_ms) const {
  return ::ReadExactly(master_, n, timeout_ms);
}

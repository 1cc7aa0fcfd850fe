#include "line_io.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

bool WriteAll(int fd, const std::vector<unsigned char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

std::vector<unsigned char> ReadExactly(int fd, std::size_t n, int timeout_ms) {
  std::vector<unsigned char> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    unsigned char buf[256];
    const ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

// Bytes through a file descriptor of a line (a pseudo-terminal's master),
// with no test framework: PtyPair and the benchmark share them.
#pragma once

#include <cstddef>
#include <vector>

// Writes all of bytes; false when the descriptor takes no more.
bool WriteAll(int fd, const std::vector<unsigned char>& bytes);
// Reads until n bytes came or timeout_ms passed.
std::vector<unsigned char> ReadExactly(int fd, std::size_t n, int timeout_ms);

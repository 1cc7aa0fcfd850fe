#include "text.h"

#include <cstdio>

std::string Hex(const Bytes& bytes) {
  std::string s;
  char h[4];
  for (unsigned char c : bytes) {
    std::snprintf(h, sizeof h, s.empty() ? "%02x" : " %02x", c);
    s += h;
  }
  return s;
}

std::size_t Occurrences(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// A pseudo-terminal pair: the test plays the controller on the master side,
// the code under test opens the slave by its path like a serial device.
#pragma once

#include <string>
#include <vector>

class PtyPair {
 public:
  PtyPair();  // fails the current test when no pty can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }

  void Write(const std::vector<unsigned char>& bytes) const;
  // Reads what arrives within timeout_ms after the last byte.
  std::vector<unsigned char> Read(int timeout_ms) const;
  // Reads until n bytes came or timeout_ms passed.
  std::vector<unsigned char> ReadExactly(std::size_t n, int timeout_ms) const;
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the pty survives between opens
  std::string slave_path_;
};

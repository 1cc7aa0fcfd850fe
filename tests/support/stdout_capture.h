// Sends what the code under test prints on stdout into a buffer, only while
// a Capture is alive, so that the test framework's own messages stay visible.
#pragma once

#include <string>

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

 private:
  int saved_ = -1;
};

// Everything captured since the last call.
std::string TakeCapturedStdout();

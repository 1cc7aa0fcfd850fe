// Faults the fuzz targets (fuzz/) found, each kept as a test of its own.
// The inputs that found them are in fuzz/corpus/<target>/ as well.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "print_log.h"
#include "stdout_capture.h"
#include "telegram_link.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::size_t Count(const std::string& hay, char c) {
  std::size_t n = 0;
  for (char h : hay) n += h == c;
  return n;
}

class FuzzRegression : public testing::Test {
 protected:
  void SetUp() override { printlog_init(dir_.File("comlog").c_str(), 1, 1 << 20); }
  void TearDown() override { printlog_init("", 0, 0); }
  void Trace(int kind, const Bytes& data) {
    StdoutCapture quiet;
    PrintComLog(kind, data.data(), static_cast<int>(data.size()));
  }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }
  TempDir dir_;
};

// fuzz_trace: a trace line that filled the whole line buffer (2047
// characters: some 700 bytes of data, or 2043 letters of an error text)
// lost its line break in the log message, so the next log line ran on
// behind it. Such a line is now cut by one character and keeps its break.
TEST_F(FuzzRegression, FullTraceLineKeepsItsLineBreak) {
  Bytes data;
  for (int i = 0; i < 700; ++i) data.push_back(static_cast<unsigned char>(i * 7));
  Trace(kTraceReceived, data);
  Trace(kTraceError, Bytes(2100, 'A'));
  Trace(kTraceError, Bytes{'n', 'e', 'x', 't'});
  const std::string log = Log();
  ASSERT_EQ(Count(log, '\n'), 3u) << log;
  EXPECT_EQ(log.back(), '\n');
  const std::size_t last = log.rfind('\n', log.size() - 2) + 1;
  EXPECT_NE(log.find(" -> ERR next\n", last), std::string::npos);
  // Each line: stamp, "-> ", the cut trace text (2046 characters), break.
  for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::size_t text = log.find(" -> ", start) + 4;
    if (end - text > 100) {
      EXPECT_EQ(end - text, kLogMessageMax - 2);
    }
  }
}

// A line one character shorter than the buffer is not cut.
TEST_F(FuzzRegression, TraceLineThatFitsIsNotCut) {
  Trace(kTraceError, Bytes(2046 - 4, 'B'));  // "ERR " + 2042 letters
  const std::string log = Log();
  const std::size_t text = log.find(" -> ") + 4;
  EXPECT_EQ(log.size() - text, 2046u + 1);
  EXPECT_EQ(log.back(), '\n');
}

}  // namespace

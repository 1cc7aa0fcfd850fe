// The screen's state is one object: what it showed comes back when it draws
// the screen again, and a new one starts as a screen never drawn. The
// console is standard output, captured (no terminal: the window's size is
// unknown, so every row is drawn and nothing is cut).
#include "screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stdout_capture.h"

namespace {

struct Case {
  const char* what;
  std::vector<std::vector<int>> draws;  // DrawValues calls before the redraw
  bool freshScreen;                     // a new MonitorScreen before the redraw
  std::vector<std::string> in;          // in what the redraw prints
  std::vector<std::string> out;         // not in it
};

const Case kCases[] = {
    {"the values as last shown come back",
     {{33, -4}},
     false,
     {"\x1b[13;21H33", "\x1b[14;21H-4"},
     {}},
    {"a shorter telegram keeps the rows it does not carry",
     {{33, -4}, {7}},
     false,
     {"\x1b[13;21H7", "\x1b[14;21H-4"},
     {"\x1b[13;21H33"}},
    {"a new screen has no values", {{33, -4}}, true, {}, {"\x1b[13;21H", "\x1b[14;21H"}},
};

TEST(MonitorScreenState, RedrawShowsWhatThisScreenShowed) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    TheScreen() = MonitorScreen();
    StdoutCapture capture;
    PrepareScreen();
    for (const auto& values : c.draws)
      DrawValues("", values.data(), static_cast<int>(values.size()));
    if (c.freshScreen) TheScreen() = MonitorScreen();
    TakeCapturedStdout();
    RedrawScreen("\nDate: 07.12.23", 0);
    const std::string redrawn = TakeCapturedStdout();
    EXPECT_NE(redrawn.find("\x1b[9;1HDate: 07.12.23"), std::string::npos) << redrawn;
    for (const std::string& text : c.in) EXPECT_NE(redrawn.find(text), std::string::npos) << text;
    for (const std::string& text : c.out) EXPECT_EQ(redrawn.find(text), std::string::npos) << text;
    LeaveScreen();
    TakeCapturedStdout();
  }
  TheScreen() = MonitorScreen();
}

}  // namespace

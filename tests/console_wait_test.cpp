// The loop's one wait on POSIX, over real pseudo-terminals: one pair plays
// the keyboard (its slave is standard input while a case runs), the other
// the serial line. The wait sleeps until something is there and wakes for
// each thing that matters; keys are read in the turn they wake.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "console.h"
#include "pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void Put(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class ConsoleWait : public testing::Test {
 protected:
  void SetUp() override {
    savedStdin_ = dup(STDIN_FILENO);
    ASSERT_GE(savedStdin_, 0);
    ASSERT_EQ(dup2(keys_.slave(), STDIN_FILENO), STDIN_FILENO);
  }
  void TearDown() override {
    dup2(savedStdin_, STDIN_FILENO);
    close(savedStdin_);
  }
  // Waits once, as the loop does before a turn that reads the line.
  bool WaitOnce(Keyboard& keyboard, int timeoutMs) {
    return keyboard.Wait(line_.master() >= 0 ? line_.slave() : -1, timeoutMs) == LineWait::Ready;
  }
  // Turns as the loop makes them (wait, then the keys) until a key's answer
  // other than kKeyNone, or ms pass; that answer, or kKeyNone.
  int KeysWithin(Keyboard& keyboard, int ms) {
    for (const auto start = Clock::now(); MsSince(start) < ms;) {
      WaitOnce(keyboard, ms);
      if (const int key = keyboard.Poll(); key != kKeyNone) return key;
    }
    return kKeyNone;
  }

  PtyPair keys_;
  PtyPair line_;
  int savedStdin_ = -1;
};

// Each thing that must end the wait does, soon after it happens; the line is
// reported ready only for a byte of its own.
TEST_F(ConsoleWait, WakesForEachThingThatMattersAndOnlyThen) {
  {
    Keyboard keyboard;
    const auto start = Clock::now();
    EXPECT_FALSE(WaitOnce(keyboard, 200)) << "nothing came: the limit ends it";
    EXPECT_GE(MsSince(start), 190);
  }
  const struct {
    const char* what;
    std::function<void()> act;  // done 100 ms into the wait
    bool lineReady;
  } wakes[] = {
      {"a byte on the line", [this] { Put(line_.master(), "M"); }, true},
      {"a key", [this] { Put(keys_.master(), "x"); }, false},
      {"a window resized (SIGWINCH)", [] { kill(getpid(), SIGWINCH); }, false},
      // Last: until the end of a turn (never made here) acts on the continue,
      // every later wait returns at once.
      {"a continue (SIGCONT)", [] { kill(getpid(), SIGCONT); }, false},
  };
  for (const auto& w : wakes) {
    SCOPED_TRACE(w.what);
    Keyboard keyboard;
    std::thread later([&w] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      w.act();
    });
    const auto start = Clock::now();
    const bool lineReady = WaitOnce(keyboard, 5000);
    const long long ms = MsSince(start);
    later.join();
    EXPECT_EQ(lineReady, w.lineReady);
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 1000) << "the wait did not wake";
    keyboard.Poll();
    unsigned char byte = 0;
    if (w.lineReady) {
      EXPECT_EQ(read(line_.slave(), &byte, 1), 1);
    }
    ConsoleTakeRedraw();
  }
}

// A lone ESC ends the program 25 ms after it came (the wait wakes for that
// without a key); a key's sequence whose bytes come 10 ms apart is one key,
// dropped; a plain key is given at once.
TEST_F(ConsoleWait, TellsALoneEscFromAKeySequenceWithGaps) {
  const struct {
    const char* what;
    std::vector<std::string> bytes;  // written 10 ms apart
    int key;
  } cases[] = {
      {"a lone ESC", {"\x1b"}, kKeyEsc},
      {"an arrow key, 10 ms between its bytes", {"\x1b", "[", "A"}, kKeyNone},
      {"a function key (SS3), 10 ms between its bytes", {"\x1b", "O", "P"}, kKeyNone},
      {"a plain key", {"q"}, 'q'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Keyboard keyboard;
    std::thread typist([this, &c] {
      for (const std::string& b : c.bytes) {
        Put(keys_.master(), b);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    const auto start = Clock::now();
    const int key = KeysWithin(keyboard, 300);
    typist.join();
    EXPECT_EQ(key, c.key);
    if (c.key == kKeyEsc) {
      EXPECT_LT(MsSince(start), 200) << "ESC waited out more than its 25 ms";
    }
  }
}

}  // namespace

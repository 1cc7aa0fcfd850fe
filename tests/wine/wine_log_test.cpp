// The log writer's Windows code under Wine: two programs writing one
// comlog.log across a rotation, and the system's error texts as the program
// shows them, whole and in the console's code page.
#include "shared_log.h"
#include "wine_fixture.h"

namespace wine_test {
namespace {

// Helpers that link the log writer, run in the test's Wine prefix.
class WineLog : public WineMonitor {
 protected:
  WineLog() { startInSetUp_ = false; }

  void SetUp() override {
    for (const char* exe : {VARNHALT_WIN_LOG_WRITER, VARNHALT_WIN_ERROR_TEXT})
      ASSERT_EQ(access(exe, R_OK), 0) << "no cross-built helper at " << exe;
    WineMonitor::SetUp();
  }

  // The command of the terminal a case starts.
  std::string Command() override { return command_; }

  // exe under Wine with args, in the environment env (e.g. a language).
  std::string Wine(const std::string& env, const std::string& exe, const std::string& args) {
    return WineEnv(prefix_) + env + " " + Quote(VARNHALT_WINE) + " " + Quote(exe) + " " + args;
  }

  std::string command_;
};

// Two programs on two ports log into one folder; the log rotates while both
// write. LockFileEx is Wine's own (its server keeps the locks), so the two
// processes take turns as on Windows.
TEST_F(WineLog, TwoProgramsAcrossARotationLoseAndMixNoLine) {
  constexpr int kLines = 1500;    // each, about 220 KB together
  constexpr int kLimit = 150000;  // rotates once, well into the run
  const std::string args = std::to_string(kLines) + " " + std::to_string(kLimit);
  const std::string a = Wine("", VARNHALT_WIN_LOG_WRITER, "A " + args);
  const std::string b = Wine("", VARNHALT_WIN_LOG_WRITER, "B " + args);
  EXPECT_EQ(ShellStatus("timeout 120 sh -c " + Quote(TwoWriters(work_, a, b))), 0)
      << ReadFile(work_ + "/first.err") << ReadFile(work_ + "/second.err");
  EXPECT_EQ(CheckSharedLog(work_, {"A", "B"}, kLines, "\r\n"), "");
}

// The text in the console's output code page, whole, however long: Wine's
// own texts are at most 64 characters in English, but its Russian text for
// error 1807 is 146 bytes in UTF-8 (a console set to code page 65001), past
// the 96 bytes that the log once held. The OEM code pages (850 for French,
// 866 for Russian) are what a console starts with. A German Windows gives
// longer texts still (error 32: "Der Prozess kann nicht auf die Datei
// zugreifen, da sie von einem anderen Prozess verwendet wird."), which
// FORMAT_MESSAGE_ALLOCATE_BUFFER sizes for: "the function allocates a buffer
// large enough to hold the formatted message".
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-formatmessagew
TEST_F(WineLog, ErrorTextsAreWholeInTheConsolesCodePage) {
  const std::string russian =
      "\xD0\x9D\xD0\xB5 \xD1\x83\xD0\xB4\xD0\xB0\xD1\x91\xD1\x82\xD1\x81\xD1\x8F "
      "\xD0\xB2\xD0\xBE\xD0\xB9\xD1\x82\xD0\xB8 \xD0\xB2 "
      "\xD1\x81\xD0\xB8\xD1\x81\xD1\x82\xD0\xB5\xD0\xBC\xD1\x83 \xD1\x81 "
      "\xD1\x83\xD1\x87\xD1\x91\xD1\x82\xD0\xBD\xD0\xBE\xD0\xB9 "
      "\xD0\xB7\xD0\xB0\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C\xD1\x8E "
      "\xD0\xB4\xD1\x80\xD1\x83\xD0\xB3\xD0\xBE\xD0\xB3\xD0\xBE "
      "\xD0\xB4\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD0\xB5\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB3\xD0\xBE "
      "\xD0\xB4\xD0\xBE\xD0\xBC\xD0\xB5\xD0\xBD\xD0\xB0. (error 1807)";
  const std::string russianOem =
      Shell("printf '%s' " + Quote(russian) + " | iconv -f UTF-8 -t CP866");
  const struct {
    const char* what;
    const char* language;
    const char* args;
    std::string text;
  } kCases[] = {
      {"French, OEM code page 850", "fr_FR.UTF-8", "5", "Acc\x8As refus\x82. (error 5)"},
      {"Russian, UTF-8, 146 bytes", "ru_RU.UTF-8", "cp=65001 1807", russian},
      {"Russian, OEM code page 866", "ru_RU.UTF-8", "1807", russianOem},
  };
  ASSERT_GT(russian.size(), 96u);
  ASSERT_EQ(russianOem.size(), 85u) << "iconv (libc-bin) cannot give CP866";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string env = std::string("LANG=") + c.language + " LC_ALL=" + c.language;
    command_ = Wine(env, VARNHALT_WIN_ERROR_TEXT, std::string(c.args) + " >text.out") + " 2>" +
               Quote(dir_.File("wine.err"));
    Start(cols_, rows_);  // in a terminal: the console's code page is the one asked
    EXPECT_EQ(Term().ExitStatus(20000), 0);
    EXPECT_EQ(ReadFile(work_ + "/text.out"), c.text + "\r\n");
    term_.reset();
  }
}

}  // namespace
}  // namespace wine_test

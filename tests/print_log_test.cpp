// The log writer: formatter rules (where they differ from printf too), the
// time stamp, and rotation on real files in a temporary directory, also
// with symbolic links planted as the log or its backup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "print_log.h"
#include "temp_dir.h"

namespace {

// Formats with the module's formatter; also checks that the echo on stdout
// is exactly the formatted text.
std::string Fmt(const char* fmt, ...) {
  char buf[kLogMessageMax];
  PrintOut out{buf, buf + sizeof buf};
  va_list args;
  va_start(args, fmt);
  testing::internal::CaptureStdout();
  const int n = print(&out, fmt, args);
  const std::string echo = testing::internal::GetCapturedStdout();
  va_end(args);
  EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
  EXPECT_EQ(echo, buf);
  return buf;
}

TEST(Formatter, ConversionsAsPrintfWouldGiveThem) {
  EXPECT_EQ(Fmt("%d|%5d|%05d", -42, -42, -42), "-42|  -42|-0042");
  EXPECT_EQ(Fmt("%-4s|", "ab"), "ab  |");
  EXPECT_EQ(Fmt("%x %X %u", 255, 255, 4000000000u), "ff FF 4000000000");
  EXPECT_EQ(Fmt("%d %d", 2147483647, -2147483647 - 1), "2147483647 -2147483648");
  EXPECT_EQ(Fmt("%x", -1), "ffffffff");
  EXPECT_EQ(Fmt("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(Fmt("100%%"), "100%");
  EXPECT_EQ(Fmt("%3d|%03d|%d", 0, 0, 0), "  0|000|0");
}

TEST(Formatter, RulesWhereItDiffersFromPrintf) {
  EXPECT_EQ(Fmt("%-05d|%-05d", 42, -42), "42000|-4200");
  EXPECT_EQ(Fmt("%05s", "ab"), "000ab");
  EXPECT_EQ(Fmt("%0-5d", 7), "5d");       // '-' after '0' is no flag
  EXPECT_EQ(Fmt("%ld", 7), "d");          // length letter: skipped, 'd' is text
  EXPECT_EQ(Fmt("%i|%d", 7), "|7");       // 'i' emits nothing, takes no argument
  EXPECT_EQ(Fmt("a%5%b"), "ab");          // '%' after a width emits nothing
  EXPECT_EQ(Fmt("%2s", "abcd"), "abcd");  // width never cuts
  EXPECT_EQ(Fmt("%8s", static_cast<const char*>(nullptr)), "  (null)");
  EXPECT_EQ(Fmt("%02d", -5), "-5");
  EXPECT_EQ(Fmt("[%c][%3c]", 0, 0), "[][   ]");
}

TEST(Formatter, IncompleteConversionEndsFormatting) {
  EXPECT_EQ(Fmt("abc%"), "abc");
  EXPECT_EQ(Fmt("abc%-05"), "abc");
}

TEST(Formatter, OutputIsCutAtTheBufferAndAlwaysTerminated) {
  char buf[8];
  PrintOut out{buf, buf + sizeof buf};
  testing::internal::CaptureStdout();
  va_list none{};
  const int n = print(&out, "0123456789abcdef", none);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "0123456");
  EXPECT_EQ(n, 7);
  EXPECT_STREQ(buf, "0123456");
  // A huge width is bounded too.
  EXPECT_EQ(Fmt("%999999999999d", 1).size(), kLogMessageMax - 1);
}

class Stamp : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    had_ = tz != nullptr;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    if (had_) setenv("TZ", saved_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  static std::string At(std::time_t t, unsigned ms) {
    char out[40];
    printlog_stamp(out, sizeof out, t, ms);
    return out;
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(Stamp, TwelveHourClockBackslashesAndMillisecondColumns) {
  const std::time_t morning = 1363251907;  // 2013-03-14 09:05:07 UTC
  const std::time_t evening = 1363295107;  // 2013-03-14 21:05:07 UTC
  EXPECT_EQ(At(morning, 45), "2013\\03\\14 09:05:07. 45 -> ");
  EXPECT_EQ(At(evening, 45), "2013\\03\\14 09:05:07. 45 -> ");
  EXPECT_EQ(At(morning, 5), "2013\\03\\14 09:05:07.  5 -> ");
  EXPECT_EQ(At(morning, 450), "2013\\03\\14 09:05:07.450 -> ");
  EXPECT_EQ(At(morning - 9 * 3600, 0), "2013\\03\\14 12:05:07.  0 -> ");  // midnight hour
}

class LogFile : public testing::Test {
 protected:
  void SetUp() override { printlog_init(dir_.File("comlog").c_str(), 1, kLimit); }
  void TearDown() override { printlog_init("", 0, 0); }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }
  std::string Bak() const { return ReadFile(dir_.File("comlog.bak")); }
  static std::string Quiet(const char* text) {
    testing::internal::CaptureStdout();
    printlog("%s\n", text);
    return testing::internal::GetCapturedStdout();
  }
  static constexpr int32_t kLimit = 100;
  TempDir dir_;
};

TEST_F(LogFile, LineIsStampedAndEchoed) {
  EXPECT_EQ(Quiet("<<< Ra {52 61 }"), "<<< Ra {52 61 }\n");
  const std::regex line(R"(\d{4}\\\d{2}\\\d{2} (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d\.[ \d]{2}\d -> <<< Ra \{52 61 \}\n)");
  EXPECT_TRUE(std::regex_match(Log(), line)) << Log();
}

TEST_F(LogFile, MessageIsWrittenLiterallyAndLongOnesAreCut) {
  Quiet("50% %d %s");
  EXPECT_NE(Log().find("-> 50% %d %s\n"), std::string::npos);
  printlog_init(dir_.File("comlog").c_str(), 1, 1 << 20);
  const std::string big(5000, 'x');
  Quiet(big.c_str());
  const std::string log = Log();
  const std::size_t start = log.find("-> xxx") + 3;
  EXPECT_EQ(log.size() - start, kLogMessageMax - 1);  // no line break survives the cut
}

TEST_F(LogFile, DisabledLoggingWritesAndEchoesNothing) {
  for (int enabled : {0, 2}) {
    printlog_init(dir_.File("comlog").c_str(), enabled, kLimit);
    EXPECT_EQ(Quiet("hello"), "");
  }
  EXPECT_EQ(FileSize(dir_.File("comlog.log")), -1);
}

TEST_F(LogFile, AtTheLimitAppendsOneByteOverRotates) {
  WriteFile(dir_.File("comlog.bak"), "old backup\n");
  WriteFile(dir_.File("comlog.log"), std::string(kLimit, 'a'));
  Quiet("first");
  EXPECT_EQ(Log().substr(0, kLimit), std::string(kLimit, 'a'));  // appended
  EXPECT_EQ(Bak(), "old backup\n");
  const std::string full = Log();  // now over the limit
  Quiet("second");
  EXPECT_EQ(Bak(), full);  // the former log is the backup, the old one gone
  EXPECT_NE(Log().find("-> second\n"), std::string::npos);
  EXPECT_EQ(Log().find("first"), std::string::npos);
}

TEST_F(LogFile, RotationWithoutBackupAndWithAFailedRename) {
  WriteFile(dir_.File("comlog.log"), std::string(kLimit + 1, 'a'));
  Quiet("rotated");  // no backup yet: removing it fails, rotation goes on
  EXPECT_EQ(Bak(), std::string(kLimit + 1, 'a'));

  // A backup that is a non-empty directory can be neither removed nor
  // replaced: the message goes to the oversized log, the next one retries.
  std::filesystem::remove(dir_.File("comlog.bak"));
  mkdir(dir_.File("comlog.bak").c_str(), 0700);
  WriteFile(dir_.File("comlog.bak/keep"), "x");
  WriteFile(dir_.File("comlog.log"), std::string(kLimit + 1, 'b'));
  Quiet("kept");
  EXPECT_EQ(Log().substr(0, kLimit + 1), std::string(kLimit + 1, 'b'));
  EXPECT_NE(Log().find("-> kept\n"), std::string::npos);
  std::filesystem::remove_all(dir_.File("comlog.bak"));
  const std::string before = Log();
  Quiet("retried");
  EXPECT_EQ(Bak(), before);
  EXPECT_NE(Log().find("-> retried\n"), std::string::npos);
}

// Symbolic links planted in the working directory: the log is never written
// through one, and rotation replaces names, never the files they point to.
TEST_F(LogFile, LinkPlantedAsTheLogIsNeverFollowed) {
  namespace fs = std::filesystem;
  WriteFile(dir_.File("victim.txt"), "precious\n");
  fs::create_symlink(dir_.File("victim.txt"), dir_.File("comlog.log"));
  EXPECT_EQ(Quiet("first"), "first\n");  // dropped from the log, still on screen
  Quiet("second");
  EXPECT_EQ(ReadFile(dir_.File("victim.txt")), "precious\n");
  EXPECT_TRUE(fs::is_symlink(dir_.File("comlog.log")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.File("comlog.bak"))));

  // A dangling link does not create its target either.
  fs::remove(dir_.File("comlog.log"));
  fs::create_symlink(dir_.File("absent.txt"), dir_.File("comlog.log"));
  Quiet("third");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.File("absent.txt"))));

  // Once the link is gone, the log is written again, as a regular file.
  fs::remove(dir_.File("comlog.log"));
  Quiet("fourth");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_.File("comlog.log"))));
  EXPECT_NE(Log().find("-> fourth\n"), std::string::npos);
  EXPECT_EQ(Log().find("third"), std::string::npos);

  // A named pipe that nobody reads does not hold the program up.
  fs::remove(dir_.File("comlog.log"));
  ASSERT_EQ(mkfifo(dir_.File("comlog.log").c_str(), 0600), 0);
  EXPECT_EQ(Quiet("fifth"), "fifth\n");
}

TEST_F(LogFile, RotationRemovesALinkPlantedAsTheBackupNotItsTarget) {
  namespace fs = std::filesystem;
  WriteFile(dir_.File("victim.txt"), "precious\n");
  fs::create_directory(dir_.File("victim.dir"));
  WriteFile(dir_.File("victim.dir/keep"), "kept\n");
  for (const char* target : {"victim.txt", "victim.dir"}) {
    SCOPED_TRACE(target);
    fs::remove(dir_.File("comlog.bak"));
    fs::create_symlink(dir_.File(target), dir_.File("comlog.bak"));
    const std::string old(kLimit + 1, 'a');
    WriteFile(dir_.File("comlog.log"), old);
    Quiet("rotated");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_.File("comlog.bak"))));
    EXPECT_EQ(Bak(), old);
    EXPECT_NE(Log().find("-> rotated\n"), std::string::npos);
    EXPECT_LT(FileSize(dir_.File("comlog.log")), kLimit);
  }
  EXPECT_EQ(ReadFile(dir_.File("victim.txt")), "precious\n");
  EXPECT_EQ(ReadFile(dir_.File("victim.dir/keep")), "kept\n");
}

TEST_F(LogFile, UnwritableLogDropsTheMessageButStillEchoes) {
  printlog_init(dir_.File("missing/comlog").c_str(), 1, kLimit);
  EXPECT_EQ(Quiet("lost"), "lost\n");
  EXPECT_EQ(printlog("%s", "x"), 0);
}

TEST(PrintlogInit, LongBaseNameIsCutTo123) {
  const std::string base(200, 'n');
  printlog_init(base.c_str(), 1, 5);
  EXPECT_EQ(std::string(m_OutputFile), std::string(123, 'n') + ".log");
  EXPECT_EQ(std::string(m_BakFile), std::string(123, 'n') + ".bak");
  EXPECT_EQ(m_logfilesize, 5);
  printlog_init("", 0, 0);
}

}  // namespace

// The log writer: formatter rules (where they differ from printf too), the
// time stamp, and rotation on real files in a temporary directory, also
// with symbolic links planted as the log or its backup.
#include "print_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
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
  const std::regex line(
      R"(\d{4}\\\d{2}\\\d{2} (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d\.[ \d]{2}\d -> <<< Ra \{52 61 \}\n)");
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
  // Dropped from the log, still on screen, and said once.
  EXPECT_EQ(Quiet("first"),
            "first\ncomlog.log cannot be written: Too many levels of symbolic links\n");
  EXPECT_EQ(Quiet("second"), "second\n");
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
  EXPECT_EQ(Quiet("fourth"), "fourth\ncomlog.log written again; 3 lines were not written\n");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_.File("comlog.log"))));
  EXPECT_NE(Log().find("-> fourth\n"), std::string::npos);
  EXPECT_EQ(Log().find("third"), std::string::npos);

  // A named pipe that nobody reads does not hold the program up.
  fs::remove(dir_.File("comlog.log"));
  ASSERT_EQ(mkfifo(dir_.File("comlog.log").c_str(), 0600), 0);
  EXPECT_EQ(Quiet("fifth"), "fifth\ncomlog.log cannot be written: No such device or address\n");
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
  EXPECT_EQ(Quiet("lost"), "lost\ncomlog.log cannot be written: No such file or directory\n");
  EXPECT_EQ(Quiet("x"), "x\n");
  EXPECT_EQ(printlog_lines_lost(), 2);
}

TEST(PrintlogInit, LongBaseNameIsCutTo123) {
  const std::string base(200, 'n');
  printlog_init(base.c_str(), 1, 5);
  EXPECT_EQ(std::string(m_OutputFile), std::string(123, 'n') + ".log");
  EXPECT_EQ(std::string(m_BakFile), std::string(123, 'n') + ".bak");
  EXPECT_EQ(m_logfilesize, 5);
  printlog_init("", 0, 0);
}

// ---- A log that cannot be written ----

// The process's file size limit: a write across it is cut short, the ones
// after it fail with EFBIG (SIGXFSZ ignored meanwhile). Restored at the end.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = saved_;
    r.rlim_cur = static_cast<rlim_t>(bytes);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*old_)(int) = SIG_DFL;
};

// Sets or clears the file's append-only flag (chattr +a, chattr -a).
bool SetAppendOnly(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY);
  int flags = 0;
  const bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL,
                     ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (fd >= 0) close(fd);
  return done;
}

class LogFault : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.File("logs"));
    printlog_init(dir_.File("logs/comlog").c_str(), 1, 1 << 20);
    echoed_.clear();
    printlog_set_echo(Echo);
  }
  void TearDown() override {
    printlog_set_echo(nullptr);
    printlog_init("", 0, 0);
    SetAppendOnly(LogPath(), false);  // else the folder cannot be removed
  }
  static void Echo(const char* text) { echoed_ += text; }
  std::string LogPath() const { return dir_.File("logs/comlog.log"); }
  // The log's lines, each stamp replaced by "-> "; a line without a stamp
  // is kept as it is.
  std::vector<std::string> Lines() const {
    static const std::regex kStamp(R"(^\d{4}\\\d{2}\\\d{2} \d{2}:\d{2}:\d{2}\.[ \d]{2}\d -> )");
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(LogPath()));
    for (std::string line; std::getline(in, line);)
      lines.push_back(std::regex_replace(line, kStamp, "-> "));
    return lines;
  }
  static inline std::string echoed_;
  TempDir dir_;
};

// Short writes (the disk full, here the file size limit): nothing of the
// line stays in the file, the screen hears of it once, and the first line
// written again is the notice with the count.
TEST_F(LogFault, ShortWritesLeaveNothingAndAreSaidAndCounted) {
  printlog("%s\n", "first");
  const long size = FileSize(LogPath());
  {
    FileSizeLimit limit(size + 20);  // the next line is longer
    printlog("%s\n", "second, cut after twenty bytes");
    printlog("%s\n", "third");
    EXPECT_EQ(FileSize(LogPath()), size);
  }
  printlog("%s\n", "fourth");
  EXPECT_EQ(echoed_,
            "first\nsecond, cut after twenty bytes\ncomlog.log cannot be written: File too "
            "large\nthird\nfourth\ncomlog.log written again; 2 lines were not written\n");
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{
                "-> first", "-> comlog.log written again; 2 lines were not written", "-> fourth"}));
  EXPECT_EQ(printlog_lines_lost(), 2);
}

// A folder removed, or a folder where the log belongs: said once with the
// reason, and once more when the log is written again.
TEST_F(LogFault, LogThatCannotBeOpenedIsSaidOnceUntilItCanAgain) {
  namespace fs = std::filesystem;
  const std::string logs = dir_.File("logs");
  const struct {
    const char* what;
    std::function<void()> spoil;
    std::function<void()> mend;
    const char* reason;
  } cases[] = {
      {"folder removed", [&] { fs::remove_all(logs); }, [&] { fs::create_directory(logs); },
       "No such file or directory"},
      {"folder in its place",
       [&] {
         fs::remove(LogPath());
         fs::create_directory(LogPath());
       },
       [&] { fs::remove(LogPath()); }, "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    printlog("%s\n", "before");
    c.spoil();
    echoed_.clear();
    printlog("%s\n", "a");
    printlog("%s\n", "b");
    c.mend();
    printlog("%s\n", "after");
    EXPECT_EQ(echoed_, std::string("a\ncomlog.log cannot be written: ") + c.reason +
                           "\nb\nafter\ncomlog.log written again; 2 lines were not written\n");
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "-> comlog.log written again; 2 lines were not written");
    EXPECT_EQ(lines.back(), "-> after");
  }
  EXPECT_EQ(printlog_lines_lost(), 4);
}

// An append-only file (chattr +a) cannot be cut back: the fragment stays,
// and the next line begins on a line of its own.
TEST_F(LogFault, FragmentThatCannotBeCutBackEndsItsOwnLine) {
  printlog("%s\n", "first");
  const long size = FileSize(LogPath());
  ASSERT_TRUE(SetAppendOnly(LogPath(), true))
      << "chattr +a needs root and a file system that has the flag";
  {
    FileSizeLimit limit(size + 10);
    printlog("%s\n", "cut after ten bytes");
  }
  EXPECT_EQ(FileSize(LogPath()), size + 10);
  printlog("%s\n", "next");
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "-> first");
  EXPECT_EQ(lines[1].size(), 10u);  // the fragment: part of a stamp
  EXPECT_EQ(lines[2], "-> comlog.log written again; 1 lines were not written");
  EXPECT_EQ(lines[3], "-> next");
  EXPECT_EQ(printlog_lines_lost(), 1);
}

// What can stand in the backup's place so that the log cannot be rotated,
// put there (on) or taken away (off), and the reason the rotation gives.
enum class Obstacle { FolderWithAFile, AppendOnlyFile };

bool Put(Obstacle o, const std::string& bak, bool on) {
  namespace fs = std::filesystem;
  if (!on) {
    if (o == Obstacle::AppendOnlyFile) SetAppendOnly(bak, false);
    fs::remove_all(bak);
    return true;
  }
  if (o == Obstacle::AppendOnlyFile) return (WriteFile(bak, "old\n"), SetAppendOnly(bak, true));
  fs::create_directory(bak);
  WriteFile(bak + "/keep", "x");
  return fs::exists(bak + "/keep");
}

// A rotation that fails is said once, on the echo and in the log, with the
// reason of the step that failed; the next lines try again in silence; once
// the obstacle is gone the log rotates, and a later failure is said again.
TEST_F(LogFault, FailedRotationIsSaidOnceAndAgainOnlyAfterOneSucceeded) {
  const std::string bak = dir_.File("logs/comlog.bak");
  const std::pair<Obstacle, std::string> kCases[] = {
      {Obstacle::FolderWithAFile, "Is a directory"},
      {Obstacle::AppendOnlyFile, "Operation not permitted"}};
  constexpr int32_t kSmall = 200;
  const std::string over(kSmall + 1, 'o');
  for (const auto& [obstacle, reason] : kCases) {
    SCOPED_TRACE(reason);
    const std::string notice = "comlog.log cannot be rotated: " + reason;
    printlog_init(dir_.File("logs/comlog").c_str(), 1, kSmall);
    WriteFile(LogPath(), over + "\n");
    ASSERT_TRUE(Put(obstacle, bak, true)) << "chattr +a needs root and a file system with it";
    echoed_.clear();
    printlog("%s\n", "one");
    printlog("%s\n", "two");
    EXPECT_EQ(echoed_, "one\n" + notice + "\ntwo\n");
    EXPECT_EQ(Lines(), (std::vector<std::string>{over, "-> " + notice, "-> one", "-> two"}));

    Put(obstacle, bak, false);
    printlog("%s\n", "three");  // rotates, and says nothing of it
    EXPECT_EQ(echoed_, "one\n" + notice + "\ntwo\nthree\n");
    EXPECT_EQ(Lines(), (std::vector<std::string>{"-> three"}));
    EXPECT_NE(ReadFile(bak).find("-> two\n"), std::string::npos);

    WriteFile(LogPath(), over + "\n");
    std::filesystem::remove(bak);
    ASSERT_TRUE(Put(obstacle, bak, true));
    echoed_.clear();
    printlog("%s\n", "four");  // a new failure after a success is said again
    EXPECT_EQ(echoed_, "four\n" + notice + "\n");
    Put(obstacle, bak, false);
  }
  EXPECT_EQ(printlog_lines_lost(), 0);
}

}  // namespace

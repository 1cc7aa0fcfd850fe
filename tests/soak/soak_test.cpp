// Soak: the real monitor in a terminal (tmux) against the controller
// simulator, which injects every fault kind at random (noise included) for a
// given time. Afterwards:
//   - the monitor never ended by itself, and ESC ends it with status 0;
//   - the simulator found every acknowledgement as expected (none missing,
//     doubled or wrong) and ran its full time;
//   - resident memory stays flat after the first minute;
//   - the log rotated (at least _MIN_ROTATIONS times), with exactly one
//     backup, each file within its limit;
//   - every line of comlog.log and comlog.bak is one whole stamped line.
//
// CTest runs it for two minutes; scripts/soak runs it for longer by hand.
// Settings from the environment: VARNHALT_SOAK_SECONDS (120), _RATE (60),
// _FAULTS ("all:0.1,noise:0.1"), _SEED (7), _MIN_ROTATIONS (1), _DIR (kept
// when given).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_lines.h"
#include "proc.h"
#include "shell.h"
#include "sim_process.h"
#include "sim_report.h"
#include "temp_dir.h"
#include "terminal.h"

namespace {

namespace fs = std::filesystem;

constexpr long kLogLimit = 500000;
constexpr long kLogSlack = 2048;   // the log may pass its limit by one message
constexpr long kRssSlackKb = 256;  // growth allowed after the first minute
constexpr int kFirstMinute = 60;
constexpr int kSampleEverySeconds = 5;

std::string Setting(const char* name, const std::string& otherwise) {
  const char* v = std::getenv((std::string("VARNHALT_SOAK_") + name).c_str());
  return v && *v ? v : otherwise;
}

struct Config {
  int seconds = std::stoi(Setting("SECONDS", "120"));
  std::string rate = Setting("RATE", "60");
  std::string faults = Setting("FAULTS", "all:0.1,noise:0.1");
  std::string seed = Setting("SEED", "7");
  int minRotations = std::stoi(Setting("MIN_ROTATIONS", "1"));
};

// What the run showed, sampled once a second.
struct Samples {
  int seconds = 0;
  int rotations = 0;
  bool monitorEnded = false;
  long rssFirst = -1, rssMinute = -1, rssAfterMax = 0, rssEnd = -1;
};

long SizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

void SampleMemory(Samples& s, int pid) {
  const long rss = ResidentKb(pid);
  if (rss < 0) return;
  if (s.rssFirst < 0) s.rssFirst = rss;
  if (s.seconds >= kFirstMinute && s.rssMinute < 0) s.rssMinute = rss;
  if (s.seconds >= kFirstMinute) s.rssAfterMax = std::max(s.rssAfterMax, rss);
  s.rssEnd = rss;
}

// Until the simulator ends: the monitor alive, its memory, the log's size
// (which drops when it rotates; a rotation takes far longer than a second).
Samples Watch(SimProcess& sim, int pid, const std::string& log, int limitSeconds) {
  Samples s;
  long lastSize = 0;
  for (; !sim.Done() && s.seconds <= limitSeconds; ++s.seconds) {
    if (!Running(pid)) {
      s.monitorEnded = true;
      break;
    }
    const long size = SizeOf(log);
    if (size < lastSize) ++s.rotations;
    lastSize = size;
    if (s.seconds % kSampleEverySeconds == 0) SampleMemory(s, pid);
    if (s.seconds % 60 == 0 && s.seconds > 0)
      std::printf("soak: %d s, RSS %ld kB, log %ld bytes, rotations %d\n", s.seconds, s.rssEnd,
                  size, s.rotations);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return s;
}

void ExpectEveryAcknowledgement(const std::string& jsonPath) {
  const nlohmann::json j = ReadSimJson(jsonPath);
  ASSERT_FALSE(j.is_discarded()) << "the simulator wrote no summary";
  const auto& acks = j.at("acks");
  const auto& values = j.at("kinds").at("values");
  EXPECT_EQ(j.at("end"), "duration reached");
  EXPECT_EQ(j.at("errors"), 0);
  EXPECT_EQ(acks.at("doubled"), 0);
  EXPECT_EQ(acks.at("missing"), 0);
  EXPECT_EQ(acks.at("wrong"), 0);
  EXPECT_GT(values.at("acked").get<long>(), 0);
  std::printf(
      "soak: value telegrams sent %ld, acked %ld, nacked %ld, lost out of step %ld; "
      "acknowledgements expected %ld, as expected %ld\n",
      values.at("sent").get<long>(), values.at("acked").get<long>(),
      values.at("nacked").get<long>(), values.at("lost").get<long>(),
      acks.at("expected").get<long>(), acks.at("good").get<long>());
}

void ExpectFlatMemory(const Samples& s) {
  if (s.seconds < kFirstMinute + kSampleEverySeconds) return;  // too short to tell
  ASSERT_GE(s.rssMinute, 0) << "no memory sample after the first minute";
  EXPECT_LE(s.rssAfterMax - s.rssMinute, kRssSlackKb)
      << "RSS " << s.rssMinute << " kB at one minute, up to " << s.rssAfterMax << " kB after";
  std::printf(
      "soak: RSS %ld kB first, %ld kB at one minute, at most %ld kB after, %ld kB at the end\n",
      s.rssFirst, s.rssMinute, s.rssAfterMax, s.rssEnd);
}

void ExpectRotatedWholeLogs(const std::string& run, const Samples& s, int minRotations) {
  const auto logs = s.rotations > 0 ? std::vector<std::string>{"comlog.bak", "comlog.log"}
                                    : std::vector<std::string>{"comlog.log"};
  EXPECT_EQ(LogFilesIn(run), logs) << "one backup at most";
  EXPECT_GE(s.rotations, minRotations);
  if (s.rotations > 0) {
    const long bak = SizeOf(run + "/comlog.bak");
    EXPECT_GT(bak, kLogLimit);
    EXPECT_LE(bak, kLogLimit + kLogSlack);
  }
  EXPECT_LE(SizeOf(run + "/comlog.log"), kLogLimit + kLogSlack);
  int lines = 0;
  for (const std::string& f : logs) {
    const LogFileCheck c = CheckLogFile(run + "/" + f);
    EXPECT_EQ(c.bad, 0) << f << ": " << c.firstBad;
    EXPECT_TRUE(c.endsInLineBreak) << f;
    EXPECT_FALSE(c.holdsNul) << f;
    lines += c.lines;
  }
  std::printf("soak: %d rotations, %d log lines checked\n", s.rotations, lines);
}

TEST(Soak, MonitorAnswersEveryFaultKindWithFlatMemoryAndWholeLogs) {
  const Config cfg;
  TempDir temp;
  const std::string dir = Setting("DIR", temp.path());
  const std::string run = dir + "/run";  // the monitor's directory: its logs and nothing else
  fs::remove_all(run);
  fs::create_directories(run);
  std::printf("soak: %d s, rate %s/s, faults %s, seed %s, files in %s\n", cfg.seconds,
              cfg.rate.c_str(), cfg.faults.c_str(), cfg.seed.c_str(), dir.c_str());
  SimProcess sim("--duration " + std::to_string(cfg.seconds) + " --rate " + cfg.rate +
                     " --faults " + Quote(cfg.faults) + " --seed " + cfg.seed + " --json " +
                     Quote(dir + "/sim.json"),
                 dir);
  const std::string line = sim.Line();
  ASSERT_FALSE(line.empty()) << sim.Output();
  // An AddressSanitizer build keeps freed memory in a quarantine; a small
  // one lets a leak show as growth.
  Terminal t("ASAN_OPTIONS=quarantine_size_mb=1 " + Com1Command(line), run, 100, 60);
  ASSERT_TRUE(t.WaitFor("ComPort-Nummer [1..6]:"));
  t.Type("1");
  t.Key("Enter");
  ASSERT_TRUE(t.WaitFor("Press (ESC) to abort"));
  const int pid = t.Pid("varnhalt_test");
  ASSERT_GT(pid, 0);

  const Samples s = Watch(sim, pid, run + "/comlog.log", cfg.seconds + 60);
  EXPECT_FALSE(s.monitorEnded) << "the monitor ended during the run";
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
  EXPECT_EQ(sim.Wait(), 0) << sim.Output();
  ExpectEveryAcknowledgement(dir + "/sim.json");
  ExpectFlatMemory(s);
  ExpectRotatedWholeLogs(run, s, cfg.minRotations);
}

}  // namespace

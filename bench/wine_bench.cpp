#include "wine_bench.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "line_io.h"
#include "proc.h"
#include "shell.h"
#include "telegrams.h"
#include "terminal.h"
#include "wine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kValues = 24;
constexpr double kLineBytesPerS = 960;  // 9600 baud, 8N1
constexpr int kAlone = 100;             // telegrams one at a time
constexpr int kAloneGapMs = 150;        // time to draw one before the next comes
constexpr int kPaced = 200;             // telegrams at the line's rate
constexpr int kBackToBack = 600;        // telegrams written in one go

std::string MakeDir() {
  char dir[] = "/tmp/varnhalt_wine_bench.XXXXXX";
  return mkdtemp(dir) ? dir : "";
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, std::size_t p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() * p / 100];
}

// When each telegram of a run was written and its acknowledgement came.
struct Timings {
  std::vector<Clock::time_point> sent, acks;
};

// Value telegram number t: 24 values that change from one to the next.
Bytes ValueTelegram(int t) {
  std::vector<int16_t> v(kValues);
  for (int i = 0; i < kValues; ++i) v[static_cast<std::size_t>(i)] = static_cast<int16_t>(t + i);
  return ValuesTelegram(v);
}

// The exe under Wine in a prefix copied from the template, its COM1 a raw
// pseudo-terminal whose master plays the controller; shown a table of 24 names.
class WineRun {
 public:
  WineRun(const std::string& exe, const std::string& templatePrefix) : dir_(MakeDir()) {
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = "";
    if (dir_.empty() || openpty(&master_, &slave_, name, &raw, nullptr) != 0) return;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, O_NONBLOCK);  // Drive writes what the line takes
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (!CopyWinePrefix(templatePrefix, dir_ + "/prefix")) return;
    WireCom1(dir_ + "/prefix", name);
    Shell("mkdir " + Quote(dir_ + "/work"));
    term_ = std::make_unique<Terminal>(WineCommand(dir_ + "/prefix", exe, dir_ + "/wine.err"),
                                       dir_ + "/work", 100, 50);
  }
  ~WineRun() {
    if (term_) {
      term_->Key("Escape Escape");
      term_->ExitStatus(10000);
      term_.reset();
      StopWine(dir_ + "/prefix");
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    if (!dir_.empty()) Shell("rm -rf " + Quote(dir_));
  }
  WineRun(const WineRun&) = delete;
  WineRun& operator=(const WineRun&) = delete;

  // Port 1, the names and the first clock; false when the program did not answer.
  bool ShowTable() {
    if (!term_ || !term_->WaitFor("ComPort-Nummer", 20000)) return false;
    term_->Type("1");
    term_->Key("Enter");
    if (ReadExactly(master_, 8, 10000) != Request("Ra")) return false;
    for (int i = 0; i < kValues; ++i) {
      const Bytes name = NameTelegram("Value" + std::to_string(i));
      if (!Exchange(name, Ack(name, true))) return false;
    }
    const Bytes clock = Telegram('M', '2', {0x56, 0x34, 0x12, 0x07, 0x12, 0x04, 0x23});
    return Exchange(clock, Ack(clock, true) + Request("Rb") + ParamWrite());
  }

  // The exe's own process (its name cut to 15 characters, as the kernel
  // keeps it); -1 when it is not found.
  int ExePid(const std::string& exe) const {
    const std::string name = std::filesystem::path(exe).filename().string().substr(0, 15);
    return term_ ? term_->Pid(name) : -1;
  }
  // ESC at the table: the ms until the program has ended with 0; -1 when
  // it did not.
  double EscToExitMs() {
    if (!term_) return -1;
    const auto start = Clock::now();
    term_->Key("Escape Escape");  // Wine's console makes one 27 of these
    const int status = term_->ExitStatus(10000);
    return status == 0 ? Ms(Clock::now() - start) : -1;
  }
  bool Exchange(const Bytes& out, const Bytes& expected) {
    return WriteAll(master_, out) && ReadExactly(master_, expected.size(), 5000) == expected;
  }

  // Sends n value telegrams, telegram t once ready(t, acks so far) and
  // what went before is written, and reads their acknowledgements, each
  // checked. Stops at the first wrong one or after 10 s without one.
  Timings Drive(int n, const std::function<bool(int, const Timings&)>& ready) {
    Timings r;
    Bytes out, in;
    const Bytes ack = Ack(ValueTelegram(0), true);
    for (auto heard = Clock::now(); static_cast<int>(r.acks.size()) < n;) {
      const int t = static_cast<int>(r.sent.size());
      if (out.empty() && t < n && ready(t, r)) {
        out = ValueTelegram(t);
        r.sent.push_back(Clock::now());
      }
      pollfd p{master_, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
      if (poll(&p, 1, 1) < 0 || Clock::now() - heard > std::chrono::seconds(10)) break;
      if ((p.revents & POLLOUT) && !Put(out)) break;
      if (!(p.revents & POLLIN) || !Take(in)) continue;
      while (in.size() >= ack.size()) {
        if (!std::equal(ack.begin(), ack.end(), in.begin())) return r;
        r.acks.push_back(heard = Clock::now());
        in.erase(in.begin(), in.begin() + static_cast<long>(ack.size()));
      }
    }
    return r;
  }

 private:
  // Writes what the line takes of out, without waiting.
  bool Put(Bytes& out) {
    const ssize_t w = write(master_, out.data(), out.size());
    if (w > 0) out.erase(out.begin(), out.begin() + w);
    return w > 0 || errno == EAGAIN;
  }
  bool Take(Bytes& in) {
    unsigned char buf[256];
    const ssize_t r = read(master_, buf, sizeof buf);
    if (r > 0) in.insert(in.end(), buf, buf + r);
    return r > 0;
  }

  std::string dir_;
  int master_ = -1, slave_ = -1;
  std::unique_ptr<Terminal> term_;
};

struct WineResult {
  double aloneP50 = 0, aloneP99 = 0;  // ms, one telegram at a time
  double lineP50 = 0, lineP99 = 0;    // ms, at the line's rate
  double perS = 0, bytesPerS = 0;     // back to back
  double idleWakeupsPerS = -1;        // at the table, the line quiet, no key: all threads
  double idleMainWakeupsPerS = -1;    // the program's own thread (the loop)
  double idleCpuPercent = -1;
  double escMs = -1;      // ESC at the idle table until the program has ended
  std::size_t wrong = 0;  // telegrams not acknowledged right, in all runs
  int failedRuns = 0;     // runs in which the exe showed no table
};

// The delay of each acknowledgement after its telegram was written.
std::vector<double> Delays(const Timings& r) {
  std::vector<double> d;
  for (std::size_t t = 0; t < r.acks.size(); ++t) d.push_back(Ms(r.acks[t] - r.sent[t]));
  return d;
}

// Each telegram once the one before was acknowledged and drawn.
void MeasureAlone(WineRun& run, WineResult& res) {
  const auto gap = std::chrono::milliseconds(kAloneGapMs);
  const Timings r = run.Drive(kAlone, [gap](int t, const Timings& done) {
    return static_cast<int>(done.acks.size()) == t &&
           (t == 0 || Clock::now() - done.acks.back() >= gap);
  });
  res.wrong += kAlone - r.acks.size();
  res.aloneP50 = Percentile(Delays(r), 50);
  res.aloneP99 = Percentile(Delays(r), 99);
}

// Telegram t at t times the time the line takes for one.
void MeasureLineRate(WineRun& run, WineResult& res) {
  const auto interval = std::chrono::microseconds(
      static_cast<long>(1e6 * static_cast<double>(ValueTelegram(0).size()) / kLineBytesPerS));
  const auto start = Clock::now();
  const Timings r = run.Drive(
      kPaced, [&](int t, const Timings&) { return Clock::now() >= start + t * interval; });
  res.wrong += kPaced - r.acks.size();
  res.lineP50 = Percentile(Delays(r), 50);
  res.lineP99 = Percentile(Delays(r), 99);
}

// As fast as the line takes them: the rate of acknowledgements.
void MeasureBackToBack(WineRun& run, WineResult& res) {
  const auto start = Clock::now();
  const Timings r = run.Drive(kBackToBack, [](int, const Timings&) { return true; });
  res.wrong += kBackToBack - r.acks.size();
  if (r.acks.empty()) return;
  res.perS = static_cast<double>(r.acks.size()) / (Ms(r.acks.back() - start) / 1000);
  res.bytesPerS = res.perS * static_cast<double>(ValueTelegram(0).size());
}

// The exe's process at its table with the line quiet and no key: its
// context switches (every thread's) a second and its CPU, over 10 s.
void MeasureIdle(WineRun& run, const std::string& exe, WineResult& res) {
  const int pid = run.ExePid(exe);
  if (pid < 0) return;
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the drawing done
  const auto start = Clock::now();
  const long switches = ContextSwitches(pid), own = ContextSwitches(pid, pid);
  const double cpu = CpuSeconds(pid);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double seconds = Ms(Clock::now() - start) / 1000;
  res.idleWakeupsPerS = static_cast<double>(ContextSwitches(pid) - switches) / seconds;
  res.idleMainWakeupsPerS = static_cast<double>(ContextSwitches(pid, pid) - own) / seconds;
  res.idleCpuPercent = (CpuSeconds(pid) - cpu) / seconds * 100;
  res.escMs = run.EscToExitMs();
}

void PrintWineIdle(const std::vector<std::string>& exes, const std::vector<WineResult>& rs) {
  std::printf(
      "\n| exe | idle at the table: wake-ups/s, the program's thread | all threads | CPU %% of "
      "a core | then ESC to exit, ms |\n|---|---:|---:|---:|---:|\n");
  for (std::size_t e = 0; e < exes.size(); ++e)
    std::printf("| %s | %.1f | %.1f | %.2f | %.0f |\n", exes[e].c_str(), rs[e].idleMainWakeupsPerS,
                rs[e].idleWakeupsPerS, rs[e].idleCpuPercent, rs[e].escMs);
}

void PrintWineTable(const std::vector<std::string>& exes, const std::vector<WineResult>& rs) {
  std::printf(
      "\n| exe | one at a time: ack p50 ms | p99 ms | at %.0f bytes/s: ack p50 ms | p99 ms | "
      "back to back: telegrams/s | bytes/s | x 9600 baud | not acknowledged right |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n",
      kLineBytesPerS);
  for (std::size_t e = 0; e < exes.size(); ++e) {
    const WineResult& r = rs[e];
    const std::string failed =
        r.failedRuns ? " (no table in " + std::to_string(r.failedRuns) + " runs)" : "";
    std::printf("| %s%s | %.1f | %.1f | %.1f | %.1f | %.1f | %.0f | %.2f | %zu |\n",
                exes[e].c_str(), failed.c_str(), r.aloneP50, r.aloneP99, r.lineP50, r.lineP99,
                r.perS, r.bytesPerS, r.bytesPerS / kLineBytesPerS, r.wrong);
  }
  std::printf(
      "\nvalue telegrams of %d values (%zu bytes): %d one at a time, %d at the line's "
      "rate, %d back to back\n",
      kValues, ValueTelegram(0).size(), kAlone, kPaced, kBackToBack);
}

}  // namespace

bool BenchWine(const std::vector<std::string>& exes, bool idleOnly) {
  const std::string dir = MakeDir();
  const std::string error =
      dir.empty() ? "no temporary directory" : MakeWinePrefix(dir + "/template");
  if (!error.empty()) {
    std::fprintf(stderr, "varnhalt_bench: %s\n", error.c_str());
    return false;
  }
  using Measure = void (*)(WineRun&, WineResult&);
  std::vector<WineResult> results(exes.size());
  bool ok = true;
  std::vector<Measure> measures = {MeasureAlone, MeasureLineRate, MeasureBackToBack};
  if (idleOnly) measures.clear();
  for (std::size_t e = 0; e < exes.size(); ++e) {
    WineRun run(std::filesystem::absolute(exes[e]), dir + "/template");
    if (run.ShowTable()) MeasureIdle(run, exes[e], results[e]);
  }
  for (Measure measure : measures) {
    for (std::size_t e = 0; e < exes.size(); ++e) {
      // Absolute: the exe runs in a working directory of its own.
      WineRun run(std::filesystem::absolute(exes[e]), dir + "/template");
      if (!run.ShowTable()) {
        ++results[e].failedRuns;
        ok = false;
        continue;
      }
      measure(run, results[e]);
    }
  }
  StopWine(dir + "/template");
  Shell("rm -rf " + Quote(dir));
  if (!idleOnly) PrintWineTable(exes, results);
  PrintWineIdle(exes, results);
  return ok;
}

// varnhalt_bench: runs the real monitor against the controller simulator
// over a pseudo-terminal and reports acknowledgement latency, throughput,
// CPU time and the time from ESC to exit. Run by hand, as root (COM1 is
// redirected to the simulator's pseudo-terminal by scripts/with-com1).
//
//   build/varnhalt_bench [--quick] [--monitor PATH]...
//   build/varnhalt_bench --wine [--exe PATH]...
//   build/varnhalt_bench --idle N [--monitor PATH]...   (or with --wine)
//
// With several --monitor, every run is made for each of them in turn, so
// that a change can be compared with the build before it in the same run.
// --wine measures the Windows program under Wine instead (wine_bench.cpp),
// several --exe likewise in turn; it needs no root. --idle N makes only the
// idle runs (at the table, the line quiet, no key), N rounds.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "proc.h"
#include "shell.h"
#include "sim_model.h"
#include "sim_process.h"
#include "sim_report.h"
#include "telegram_link.h"
#include "terminal.h"
#include "wine.h"
#include "wine_bench.h"

namespace {

constexpr double kLine9600 = 960.0;  // bytes a second at 9600 baud, 8N1
constexpr double kLine115200 = 11520.0;
constexpr int kEscQuietMs = 60;  // after ESC, more than the monitor's 25 ms
constexpr double kIdleSeconds = 10.0;

double NowS() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string NewDir() {
  char dir[] = "/tmp/varnhalt_bench.XXXXXX";
  return mkdtemp(dir) ? dir : "/tmp";
}

void RemoveDir(const std::string& dir) { Shell("rm -rf " + Quote(dir)); }

// The monitor in a terminal of the benchmark's own: a pseudo-terminal read
// as fast as the monitor writes (tmux would pace it), COM1 = line.
class Console {
 public:
  Console(const std::string& monitor, const std::string& line, const std::string& dir) {
    pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      const std::string command = "cd " + Quote(dir) + " && exec " + Com1Command(line, monitor);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (fd_ >= 0) fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~Console() {
    if (status_ < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  pid_t pid() const { return pid_; }
  // Reads what the monitor printed, waiting at most ms. False: its terminal is gone.
  bool Pump(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[65536];
    const ssize_t r = read(fd_, buf, sizeof buf);
    if (r <= 0) return false;
    screen_.append(buf, static_cast<std::size_t>(r));
    if (screen_.size() > 8192) screen_.erase(0, screen_.size() - 4096);
    return true;
  }
  bool TypePort() {
    const double end = NowS() + 10;
    while (screen_.find("ComPort-Nummer") == std::string::npos && NowS() < end)
      if (!Pump(50)) return false;
    return write(fd_, "1\n", 2) == 2;
  }
  // Sends ESC; the seconds until the monitor has exited, -1 when it did not.
  double EscToExit() {
    const double t0 = NowS();
    if (write(fd_, "\x1b", 1) != 1) return -1;
    for (int st = 0; NowS() - t0 < 10; Pump(1)) {
      if (waitpid(pid_, &st, WNOHANG) != pid_) continue;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return NowS() - t0;
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
  std::string screen_;  // what it printed (kept short)
};

struct Result {
  std::string label;
  double target = 0;  // telegrams/s asked for; 0: flood
  double values = 0, valuesPerS = 0, bytesPerS = 0;
  double p50 = 0, p99 = 0, max = 0;
  double errors = -1;
  double cpuPer1000 = 0;  // monitor CPU seconds per 1000 '1' telegrams
  double escMs = -1;      // -1: not the monitor (the platform floor)
  int simStatus = -1;
};

// The figures of a run from the simulator's JSON summary.
void ReadSummary(const std::string& path, Result& r) {
  const nlohmann::json j = ReadSimJson(path);
  if (j.is_discarded()) return;
  const auto& values = j["kinds"]["values"];
  const auto& latency = j["values_latency_us"];
  r.values = values["acked"].get<double>() + values["nacked"].get<double>();
  r.valuesPerS = j["values_per_s"].get<double>();
  r.bytesPerS = j["bytes_per_s"].get<double>();
  r.p50 = latency["p50"].get<double>();
  r.p99 = latency["p99"].get<double>();
  r.max = latency["max"].get<double>();
  r.errors = j["errors"].get<double>();
}

// The platform's floor: a minimal PC that frames as the monitor does (the
// simulator's model of its receiver) and acknowledges at once, with no
// screen and no keyboard.
[[noreturn]] void MinimalPc(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  unsigned char r[9];
  if (fd < 0 || write(fd, r, BuildRequest("Ra", -12, r)) != 8) _exit(1);
  PcFramer framer;
  PcRequests requests;
  for (unsigned char in[256];;) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, -1);  // the line is raw with VMIN 0: a read alone would not wait
    const ssize_t n = read(fd, in, sizeof in);
    if (n <= 0) _exit(0);
    for (ssize_t i = 0; i < n; ++i) {
      const FrameEvent e = framer.Feed(in[i]);
      if (e.type != FrameEventType::Data) continue;
      if (write(fd, e.ack, kAckLength) != kAckLength) _exit(1);
      unsigned char more[PcRequests::kMax];  // as the monitor on its first good clock
      const int m = requests.After(e, more);
      if (m > 0 && write(fd, more, static_cast<std::size_t>(m)) != m) _exit(1);
    }
  }
}

struct Scenario {
  std::string label;
  double rate;  // telegrams a second; 0: flood
  std::string args;
  double timeoutS;
};

// Lets the simulator run its course (interrupted after timeoutS), turning
// pump meanwhile.
void RunSimulator(SimProcess& sim, double timeoutS, const std::function<void()>& pump) {
  const double end = NowS() + timeoutS;
  while (!sim.Done() && NowS() < end) pump();
  sim.Interrupt();
  sim.Wait();
}

Result RunMonitor(const Scenario& s, const std::string& monitor) {
  Result res{s.label, s.rate};
  const std::string dir = NewDir();
  SimProcess sim(s.args + " --json " + Quote(dir + "/sim.json"), dir);
  Console console(monitor, sim.Line(), dir);
  if (!console.TypePort()) {
    std::fprintf(stderr, "varnhalt_bench: %s: cannot start the monitor\n", s.label.c_str());
    return res;
  }
  const double cpu0 = CpuSeconds(console.pid());
  RunSimulator(sim, s.timeoutS, [&] { console.Pump(5); });
  const double cpu = CpuSeconds(console.pid()) - cpu0;
  res.simStatus = sim.Wait();
  res.escMs = console.EscToExit() * 1000;
  ReadSummary(dir + "/sim.json", res);
  if (res.values > 0) res.cpuPer1000 = cpu / res.values * 1000;
  RemoveDir(dir);
  return res;
}

Result RunFloor(const Scenario& s) {
  Result res{s.label, s.rate};
  const std::string dir = NewDir();
  SimProcess sim(s.args + " --json " + Quote(dir + "/sim.json"), dir);
  const std::string line = sim.Line();
  const pid_t pc = fork();
  if (pc == 0) MinimalPc(line);
  RunSimulator(sim, s.timeoutS, [] { poll(nullptr, 0, 5); });
  res.simStatus = sim.Wait();
  kill(pc, SIGKILL);
  waitpid(pc, nullptr, 0);
  ReadSummary(dir + "/sim.json", res);
  RemoveDir(dir);
  return res;
}

// The monitor idle at its table: wake-ups (context switches) a second and
// CPU (in % of a core) over kIdleSeconds, then the time from ESC to exit.
struct IdleFigures {
  bool atTable = false;  // false: it never answered the clock with "Rb"
  double wakeupsPerS = 0, cpuPercent = 0, escMs = -1;
};

// Reads what the monitor sent on the line until it holds n bytes or ms pass.
std::string ReadLine(int master, std::size_t n, int ms) {
  std::string got;
  for (const double end = NowS() + ms / 1000.0; got.size() < n && NowS() < end;) {
    pollfd p{master, POLLIN, 0};
    char buf[64];
    const ssize_t r = poll(&p, 1, 20) > 0 ? read(master, buf, sizeof buf) : 0;
    if (r > 0) got.append(buf, static_cast<std::size_t>(r));
  }
  return got;
}

// The first clock of the controller: the monitor acknowledges it, asks for
// "Rb", writes its parameter and draws its table.
bool ShowTable(int master, Console& console) {
  unsigned char clock[16] = {0, 0, 0, 0x07, 0x05, 0x21, 0x14, 0x03, 0x04, 0x13};
  const int n = BuildTelegram(kDataStart, '2', 7, clock);
  if (write(master, clock, static_cast<std::size_t>(n)) != n) return false;
  const std::string sent = ReadLine(master, kAckLength + 8 + 9, 5000);
  for (const double end = NowS() + 0.5; NowS() < end;) console.Pump(50);  // the drawing
  return sent.size() == kAckLength + 8 + 9 && sent.compare(kAckLength, 2, "Rb") == 0;
}

IdleFigures RunIdle(const std::string& monitor) {
  IdleFigures f;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0)
    return f;
  const int slave = open(name, O_RDWR | O_NOCTTY);  // keeps the line up
  const std::string dir = NewDir();
  {
    Console console(monitor, name, dir);
    console.TypePort();
    f.atTable = ReadLine(master, 8, 5000).size() == 8 && ShowTable(master, console);
    const pid_t pid = console.pid();
    const double t0 = NowS(), cpu0 = CpuSeconds(pid);
    const long switches0 = ContextSwitches(pid);
    while (NowS() - t0 < kIdleSeconds) console.Pump(100);
    const double seconds = NowS() - t0;
    f.wakeupsPerS = static_cast<double>(ContextSwitches(pid) - switches0) / seconds;
    f.cpuPercent = (CpuSeconds(pid) - cpu0) / seconds * 100;
    poll(nullptr, 0, kEscQuietMs);
    f.escMs = console.EscToExit() * 1000;
  }
  RemoveDir(dir);
  close(slave);
  close(master);
  return f;
}

std::vector<Scenario> MonitorScenarios(bool quick) {
  const double k = quick ? 0.2 : 1.0;
  const auto n = [k](double v) { return std::to_string(static_cast<long>(v * k)); };
  const struct {
    const char* label;
    double rate;  // 0: flood
    double count;
    const char* how;
  } kRuns[] = {
      {"paced 50/s", 50, 500, "--rate 50"},
      {"paced 200/s", 200, 2000, "--rate 200"},
      {"paced 1000/s", 1000, 5000, "--rate 1000"},
      {"paced 3000/s", 3000, 9000, "--rate 3000"},
      {"paced 20000/s (more than the PC takes)", 20000, 20000, "--rate 20000"},
      {"flood, window 1", 0, 20000, "--flood --window 1"},
      {"flood, window 4", 0, 20000, "--flood --window 4"},
      {"flood, window 16", 0, 20000, "--flood --window 16"},
      {"faults all:0.1 at 200/s", 200, 2000, "--rate 200 --faults all:0.1"},
  };
  std::vector<Scenario> runs;
  for (const auto& r : kRuns)
    runs.push_back({r.label, r.rate, "--count " + n(r.count) + " --seed 1 " + r.how,
                    r.rate > 0 ? r.count * k / r.rate + 20 : 60});
  return runs;
}

std::vector<Scenario> FloorScenarios(bool quick) {
  const auto n = [quick](int v) { return std::to_string(quick ? v / 5 : v); };
  return {{"platform floor: minimal PC, 1000/s", 1000, "--count " + n(5000) + " --rate 1000", 30},
          {"platform floor: minimal PC, flood window 1", 0,
           "--count " + n(20000) + " --flood --window 1", 60}};
}

void PrintTable(const std::vector<Result>& rs) {
  std::printf(
      "| run | '1' sent | telegrams/s | bytes/s | x 9600 baud | x 115200 baud | ack p50 us | "
      "ack p99 us | ack max us | missing+doubled+wrong acks | PC CPU ms per 1000 |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Result& r : rs)
    std::printf("| %s | %.0f | %.0f | %.0f | %.1f | %.2f | %.0f | %.0f | %.0f | %.0f | %.1f |\n",
                r.label.c_str(), r.values, r.valuesPerS, r.bytesPerS, r.bytesPerS / kLine9600,
                r.bytesPerS / kLine115200, r.p50, r.p99, r.max, r.errors, r.cpuPer1000 * 1000);
}

// The highest rate kept with every acknowledgement right, and ESC's times.
void PrintIdle(const IdleFigures& idle) {
  std::printf(
      "idle at the table (%.0f s, line quiet, no key): %.1f wake-ups/s, %.3f %% of a core%s\n",
      kIdleSeconds, idle.wakeupsPerS, idle.cpuPercent, idle.atTable ? "" : " (no table drawn!)");
}

void PrintSummary(const std::string& monitor, const std::vector<Result>& rs,
                  const IdleFigures& idle) {
  double best = 0, bestBytes = 0;
  std::vector<double> esc = {idle.escMs};
  for (const Result& r : rs) {
    esc.push_back(r.escMs);
    const bool kept = r.target == 0 || r.valuesPerS >= 0.95 * r.target;
    if (r.errors == 0 && r.simStatus == 0 && kept && r.valuesPerS > best) {
      best = r.valuesPerS;
      bestBytes = r.bytesPerS;
    }
  }
  std::sort(esc.begin(), esc.end());
  std::printf(
      "\n%s\nhighest rate with no lost, doubled or wrong acknowledgement: %.0f telegrams/s, "
      "%.0f bytes/s = %.0f x 9600 baud, %.1f x 115200 baud\n",
      monitor.c_str(), best, bestBytes, bestBytes / kLine9600, bestBytes / kLine115200);
  PrintIdle(idle);
  std::printf("ESC to exit: median %.1f ms, max %.1f ms (%zu runs)\n", esc[esc.size() / 2],
              esc.back(), esc.size());
}

// Every monitor through every run, the monitors taking turns run by run.
void BenchMonitors(const std::vector<std::string>& monitors, bool quick) {
  std::vector<std::vector<Result>> results(monitors.size());
  std::vector<IdleFigures> idle;
  for (const std::string& monitor : monitors) idle.push_back(RunIdle(monitor));
  for (const Scenario& s : MonitorScenarios(quick))
    for (std::size_t m = 0; m < monitors.size(); ++m)
      results[m].push_back(RunMonitor(s, monitors[m]));
  for (std::size_t m = 0; m < monitors.size(); ++m) {
    std::printf("\n%s\n", monitors[m].c_str());
    PrintTable(results[m]);
    PrintSummary(monitors[m], results[m], idle[m]);
  }
}

// Only the idle figures, each monitor rounds times in turn, and ESC's times.
void BenchIdle(const std::vector<std::string>& monitors, int rounds) {
  for (int r = 0; r < rounds; ++r)
    for (const std::string& monitor : monitors) {
      const IdleFigures f = RunIdle(monitor);
      std::printf("\n%s\n", monitor.c_str());
      PrintIdle(f);
      std::printf("ESC to exit: %.1f ms\n", f.escMs);
    }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The monitor against the controller simulator: latency, throughput, CPU, ESC"};
  bool quick = false;
  std::vector<std::string> monitors;
  app.add_flag("--quick", quick, "fewer telegrams per run (about a fifth of the time)");
  app.add_option("--monitor", monitors, "monitor program(s) to measure (default: this build's)")
      ->check(CLI::ExistingFile);
  int idleRounds = 0;
  app.add_option("--idle", idleRounds, "only the idle figures, this many rounds per monitor");
  bool wine = false;
  std::vector<std::string> exes;
  app.add_flag("--wine", wine, "the Windows program under Wine instead of the monitor");
  app.add_option("--exe", exes, "with --wine: exe(s) to measure (default: this build's)")
      ->check(CLI::ExistingFile);
  CLI11_PARSE(app, argc, argv);
  if (wine) {
    if (exes.empty()) exes.push_back(kWinExe);
    std::printf("load average at start: %s", Shell("cat /proc/loadavg").c_str());
    const bool ok = BenchWine(exes, idleRounds > 0);
    std::printf("load average at the end: %s", Shell("cat /proc/loadavg").c_str());
    return ok ? 0 : 1;
  }
  if (monitors.empty()) monitors.push_back(VARNHALT_BIN);
  for (std::string& m : monitors) m = std::filesystem::absolute(m);  // each run has its own folder
  if (geteuid() != 0) std::fprintf(stderr, "varnhalt_bench: needs root for the bind mount\n");
  signal(SIGPIPE, SIG_IGN);

  std::printf("load average at start: %s", Shell("cat /proc/loadavg").c_str());
  if (idleRounds > 0) {
    BenchIdle(monitors, idleRounds);
    return 0;
  }
  BenchMonitors(monitors, quick);
  std::printf("\nload average at the end: %s\n", Shell("cat /proc/loadavg").c_str());
  // Not the monitor: the same pty and simulator with a minimal acknowledger,
  // for the share of the latency that the platform itself takes.
  std::vector<Result> floor;
  for (const Scenario& s : FloorScenarios(quick)) floor.push_back(RunFloor(s));
  PrintTable(floor);
  return 0;
}

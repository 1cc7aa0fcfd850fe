// varnhalt_sim: plays the controller on a pseudo-terminal (or a serial port)
// and checks the PC's acknowledgements. See Usage() for the options.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_options.h"
#include "sim_report.h"
#include "simulator.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitAckErrors = 1;
constexpr int kExitBadOptions = 2;
constexpr int kExitNoLine = 3;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStop(int) { g_stop = 1; }

void CatchStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: poll returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Raw 8N1 at 9600 baud, no flow control, non-blocking reads.
bool SetRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

struct Line {
  int fd = -1;
  int ownSlave = -1;
  std::string path;
};

bool OpenPty(Line& line, std::string& error) {
  line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(line.fd, name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  line.path = name;
  // Held until the PC's "Ra", so that the line does not hang up before it.
  line.ownSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.ownSlave >= 0) SetRaw(line.ownSlave);
  return true;
}

bool OpenDevice(const char* path, Line& line, std::string& error) {
  line.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd < 0 || !SetRaw(line.fd)) {
    error = std::string("--device: cannot open '") + path +
            "' as a serial port: " + std::strerror(errno);
    return false;
  }
  line.path = path;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions o;
  std::string error;
  switch (ParseOptions(argc, argv, o, error)) {
    case ParseResult::Help:
      std::fputs(Usage().c_str(), stdout);
      return kExitOk;
    case ParseResult::Error:
      std::fprintf(stderr, "varnhalt_sim: %s\n", error.c_str());
      return kExitBadOptions;
    case ParseResult::Ok:
      break;
  }
  Line line;
  const bool opened =
      o.device.empty() ? OpenPty(line, error) : OpenDevice(o.device.c_str(), line, error);
  if (!opened) {
    std::fprintf(stderr, "varnhalt_sim: %s\n", error.c_str());
    return kExitNoLine;
  }
  CatchStopSignals();
  std::printf("varnhalt_sim: controller on %s\n", line.path.c_str());
  std::fflush(stdout);

  static Simulator sim(o, line.fd, line.ownSlave);  // large: not on the stack
  const EndReason reason = sim.Run(g_stop);
  close(line.fd);
  const nlohmann::ordered_json figures = SimFigures(sim, reason);
  PrintSummary(stdout, figures);
  if (!o.json.empty() && !WriteJson(o.json.c_str(), figures))
    std::fprintf(stderr, "varnhalt_sim: --json: cannot write '%s': %s\n", o.json.c_str(),
                 std::strerror(errno));
  return sim.Errors() == 0 ? kExitOk : kExitAckErrors;
}

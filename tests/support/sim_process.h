// The controller simulator (build/varnhalt_sim) as a child process, its
// output in DIR/sim.out.
#pragma once

#include <sys/types.h>

#include <string>

class SimProcess {
 public:
  // Starts varnhalt_sim with args (a shell word list) in dir.
  SimProcess(const std::string& args, const std::string& dir);
  ~SimProcess();  // kills it if it still runs
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The pseudo-terminal the simulated controller listens on; "" when the
  // simulator did not say within timeout_ms (see Output()).
  std::string Line(int timeout_ms = 5000) const;
  // Waits for it to end: its exit status, 128 + n after signal n.
  int Wait();
  // Ends it early, as ESC on its terminal would (it still writes its summary).
  void Interrupt() const;
  bool Done();  // true once it has ended (Wait then returns at once)
  std::string Output() const;
  pid_t pid() const { return pid_; }

 private:
  std::string out_;
  pid_t pid_ = -1;
  int status_ = -1;
};

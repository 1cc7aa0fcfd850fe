#include "sim_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "files.h"
#include "shell.h"

namespace {

int StatusOf(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

}  // namespace

SimProcess::SimProcess(const std::string& args, const std::string& dir) : out_(dir + "/sim.out") {
  const std::string command = "cd " + Quote(dir) + " && exec " + Quote(VARNHALT_SIM) + " " + args +
                              " > " + Quote(out_) + " 2>&1";
  pid_ = fork();
  if (pid_ == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

SimProcess::~SimProcess() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
}

std::string SimProcess::Line(int timeout_ms) const {
  const std::string prefix = "varnhalt_sim: controller on ";
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    const std::string out = ReadFile(out_);
    const auto at = out.find(prefix);
    const auto eol = at == std::string::npos ? at : out.find('\n', at);
    if (eol != std::string::npos) return out.substr(at + prefix.size(), eol - at - prefix.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

int SimProcess::Wait() {
  int st = 0;
  if (status_ < 0 && waitpid(pid_, &st, 0) == pid_) status_ = StatusOf(st);
  return status_;
}

void SimProcess::Interrupt() const {
  if (status_ < 0) kill(pid_, SIGINT);
}

bool SimProcess::Done() {
  int st = 0;
  if (status_ < 0 && waitpid(pid_, &st, WNOHANG) == pid_) status_ = StatusOf(st);
  return status_ >= 0;
}

std::string SimProcess::Output() const { return ReadFile(out_); }

#include "terminal.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "proc.h"

namespace {

int g_sessions = 0;

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

bool Before(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() < deadline;
}

std::chrono::steady_clock::time_point In(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

Terminal::Terminal(const std::string& command, const std::string& dir, int cols, int rows) {
  socket_ = "varnhalt-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++g_sessions);
  status_file_ = dir + "/.exit-status";
  std::remove(status_file_.c_str());
  const std::string wrapped = "(" + command + "); echo $? > " + Quote(status_file_);
  Tmux("-f /dev/null new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) +
       " -c " + Quote(dir) + " " + Quote("exec sh -c " + Quote(wrapped)));
  Tmux("set-option -g remain-on-exit on");
}

Terminal::~Terminal() { Tmux("kill-server"); }

std::string Terminal::Tmux(const std::string& args) {
  return Shell("tmux -L " + socket_ + " " + args + " 2>/dev/null");
}

void Terminal::Type(const std::string& text) { Tmux("send-keys -t 0 -l " + Quote(text)); }

void Terminal::Key(const std::string& key) { Tmux("send-keys -t 0 " + key); }

std::vector<std::string> Terminal::Screen() {
  std::istringstream in(Tmux("capture-pane -p -t 0"));
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) {
    line.erase(line.find_last_not_of(' ') + 1);
    rows.push_back(line);
  }
  return rows;
}

std::string Terminal::Row(int row) {
  const auto rows = Screen();
  return row >= 0 && row < static_cast<int>(rows.size()) ? rows[static_cast<std::size_t>(row)] : "";
}

bool Terminal::WaitFor(const std::string& text, int timeout_ms) {
  for (const auto deadline = In(timeout_ms); Before(deadline); Pause())
    for (const std::string& row : Screen())
      if (row.find(text) != std::string::npos) return true;
  return false;
}

int Terminal::ExitStatus(int timeout_ms) {
  for (const auto deadline = In(timeout_ms); Before(deadline); Pause()) {
    std::ifstream in(status_file_);
    int status = -1;
    if (in >> status) return status;
  }
  return -1;
}

int Terminal::Pid(const std::string& name) {
  return Descendant(std::atoi(Tmux("display-message -p -t 0 '#{pane_pid}'").c_str()), name);
}

bool Terminal::CursorShown() {
  return Tmux("display-message -p -t 0 '#{cursor_flag}'").rfind('1', 0) == 0;
}

std::pair<int, int> Terminal::Cursor() {
  std::istringstream in(Tmux("display-message -p -t 0 '#{cursor_x} #{cursor_y}'"));
  std::pair<int, int> at{-1, -1};
  in >> at.first >> at.second;
  return at;
}

void Terminal::Resize(int cols, int rows) {
  Tmux("resize-window -t 0 -x " + std::to_string(cols) + " -y " + std::to_string(rows));
}

int Terminal::ServerPid() { return std::atoi(Tmux("display-message -p '#{pid}'").c_str()); }

std::string Com1Command(const std::string& device, const std::string& program) {
  return Quote(WITH_COM1) + " " + Quote(device) + " " + Quote(program);
}

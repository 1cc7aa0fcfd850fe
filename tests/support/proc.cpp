#include "proc.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "files.h"

namespace {

std::string ProcFile(int pid, const std::string& name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

// The fields of /proc/PID/stat after the command name, which may hold
// spaces: the state is the first of them (field 3).
std::vector<std::string> StatFields(int pid) {
  const std::string all = ReadFile(ProcFile(pid, "stat"));
  const auto close = all.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) return fields;
  std::istringstream rest(all.substr(close + 2));
  for (std::string f; rest >> f;) fields.push_back(f);
  return fields;
}

}  // namespace

long CpuTicks(int pid) {
  const auto f = StatFields(pid);  // utime and stime are fields 14 and 15
  return f.size() > 12 ? std::stol(f[11]) + std::stol(f[12]) : 0;
}

double CpuSeconds(int pid) {
  std::istringstream sched(ReadFile(ProcFile(pid, "schedstat")));
  unsigned long long ns = 0;
  if (sched >> ns) return static_cast<double>(ns) / 1e9;
  return static_cast<double>(CpuTicks(pid)) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKb(int pid) {
  std::istringstream status(ReadFile(ProcFile(pid, "status")));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

long ContextSwitches(int pid, int tid) {
  std::error_code error;
  long sum = 0;
  bool any = false;
  for (const auto& task : std::filesystem::directory_iterator(ProcFile(pid, "task"), error)) {
    if (tid != 0 && task.path().filename() != std::to_string(tid)) continue;
    std::istringstream status(ReadFile(task.path().string() + "/status"));
    for (std::string line; std::getline(status, line);) {
      const auto colon = line.find(':');
      if (colon == std::string::npos || line.find("ctxt_switches") == std::string::npos) continue;
      sum += std::stol(line.substr(colon + 1));
      any = true;
    }
  }
  return any ? sum : -1;
}

bool Running(int pid) {
  const auto f = StatFields(pid);
  return !f.empty() && f[0] != "Z";
}

int Descendant(int root, const std::string& name) {
  std::vector<int> todo = {root};
  while (!todo.empty()) {
    const int pid = todo.back();
    todo.pop_back();
    if (pid <= 0) continue;
    std::string comm = ReadFile(ProcFile(pid, "comm"));
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == name) return pid;
    std::istringstream tasks(ReadFile(ProcFile(pid, "task/" + std::to_string(pid) + "/children")));
    for (int child = 0; tasks >> child;) todo.push_back(child);
  }
  return -1;
}

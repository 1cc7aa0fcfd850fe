// What /proc tells about a process that a test started: CPU time, resident
// memory, whether it still runs, and its descendants.
#pragma once

#include <string>

// User and system CPU time, in clock ticks (sysconf(_SC_CLK_TCK) a second).
long CpuTicks(int pid);
// CPU time in seconds, to the nanosecond where the kernel keeps schedstat.
double CpuSeconds(int pid);
// Resident memory (VmRSS) in kB; -1 when the process is gone.
long ResidentKb(int pid);
// Context switches, voluntary and involuntary (each one a wake-up or a
// preemption), of all the process's threads, or of its thread tid only;
// -1 when the process is gone.
long ContextSwitches(int pid, int tid = 0);
// True while the process runs (a zombie has ended).
bool Running(int pid);
// The process id of root or of a descendant of it whose command is name; -1.
int Descendant(int root, const std::string& name);

#include "monitor_loop.h"

int main() { return RunMonitor(); }

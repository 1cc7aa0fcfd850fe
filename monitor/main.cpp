#include "varnhalt_test.h"

int main() { return RunMonitor(); }

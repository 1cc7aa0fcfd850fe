// The Windows program under Wine, for varnhalt_bench --wine.
#pragma once

#include <string>
#include <vector>

// Measures every exe with value telegrams of 24 values, the exes taking
// turns run by run, and prints a table: the acknowledgement delay of one
// telegram at a time, the delay at the line's rate, and the rate kept up
// with back to back, and the exe's idle figures at its table (wake-ups a
// second and CPU; idleOnly: those alone). Returns false when a run could
// not be made.
bool BenchWine(const std::vector<std::string>& exes, bool idleOnly);

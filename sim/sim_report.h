// The simulator's summary: a table for people, JSON for scripts.
#pragma once

#include <cstdio>

#include "simulator.h"

void PrintSummary(std::FILE* out, const Simulator& sim, EndReason reason);
// Returns false when the file cannot be written.
bool WriteJson(const char* path, const Simulator& sim, EndReason reason);

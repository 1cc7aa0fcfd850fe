// The simulator's summary: a table for people, JSON for scripts and tests.
// Both are made from one gathering of the run's figures.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "simulator.h"

// The run's figures under the keys and in the order of the JSON summary.
nlohmann::ordered_json SimFigures(const Simulator& sim, EndReason reason);
void PrintSummary(std::FILE* out, const nlohmann::ordered_json& figures);
// Returns false when the file cannot be written.
bool WriteJson(const char* path, const nlohmann::ordered_json& figures);
// Reads a summary written by WriteJson; a file that cannot be read or is not
// JSON gives a discarded value (is_discarded()).
nlohmann::json ReadSimJson(const std::string& path);

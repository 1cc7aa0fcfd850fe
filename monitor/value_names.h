// The table of value names: filled by the monitor loop from 'A' telegrams,
// read by the screen. Each name is owned by the table until exit.
//
// These names are the program's established interface and keep their mixed
// styles.
#pragma once

#include <cstdint>
#include <memory>

constexpr int kMaxNames = 100;

// The value names in order of arrival.
extern std::unique_ptr<char[]> ValueNames[kMaxNames];
// Number of names stored; only ever increased while the program runs.
extern int32_t ValueCount;

// Releases every stored name; ValueCount becomes 0.
void FreeValueNames();

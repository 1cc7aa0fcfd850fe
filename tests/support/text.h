// Small text helpers the tests share.
#pragma once

#include <string>

#include "telegrams.h"

// Bytes as two lowercase hex digits each, separated by blanks: "4d 41 01".
std::string Hex(const Bytes& bytes);
// How often needle occurs in hay (overlapping occurrences counted).
std::size_t Occurrences(const std::string& hay, const std::string& needle);

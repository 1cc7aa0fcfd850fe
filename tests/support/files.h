// Whole files, read and written at once.
#pragma once

#include <string>

std::string ReadFile(const std::string& path);  // "" when missing
void WriteFile(const std::string& path, const std::string& text);
long FileSize(const std::string& path);  // -1 when missing

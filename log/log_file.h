// Opening the log file: the one part of the log writer that differs between
// POSIX and Windows. CMake picks log_file_posix.cpp or log_file_win32.cpp.
#pragma once

#include <cstdio>

// Opens path for appending, creating it when missing; nullptr when it cannot
// be opened. On POSIX a symbolic link at path is never followed (the open
// fails), so a link planted in the working directory cannot redirect the log
// into another file.
std::FILE* OpenLogAppend(const char* path);

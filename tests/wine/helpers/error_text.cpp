// A helper for the Wine tests: prints the system's text for each Windows
// error code given, one line each, as the program shows it.
//
//   error_text [cp=N] CODE...
//
// cp=N first sets the console's output code page to N, as "chcp N" does.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system_error.h"

int main(int argc, char** argv) {
  int i = 1;
  if (i < argc && std::strncmp(argv[i], "cp=", 3) == 0) {
    if (!SetConsoleOutputCP(static_cast<UINT>(std::atoi(argv[i] + 3)))) {
      std::printf("SetConsoleOutputCP failed: error %lu\n", GetLastError());
      return 1;
    }
    ++i;
  }
  for (; i < argc; ++i) {
    char text[kSystemErrorTextMax];
    SystemErrorText(std::strtoul(argv[i], nullptr, 10), text, sizeof text);
    std::printf("%s\n", text);
  }
  return 0;
}

// A helper for the Wine tests, run in the console of the program under test:
//
//   console_mode_probe.exe MODE OUT_FILE PROGRAM [CODE_PAGE]
//
// sets the console's input mode to MODE (hexadecimal) and its code pages to
// CODE_PAGE where given, runs PROGRAM in the
// same console and waits for it, and appends to OUT_FILE the input mode as
// set ("before"), while PROGRAM runs, once a file "probe-now" appears in the
// working directory ("running"), and after PROGRAM ended ("after"), then
// PROGRAM's exit status ("status"), which is also the probe's. Once a file
// "probe-scroll" appears, it moves the console's window 5 rows down the
// buffer, making the buffer taller first where needed ("scrolled": the
// window's top row, or the error); the window's top row after PROGRAM
// ended is noted as "top". The cursor is given size 57, visible, before
// PROGRAM starts, and noted as "size,visible" with each input mode
// ("cursor-before", "cursor-running", "cursor-after"). Ctrl+C and
// Ctrl+Break are left to PROGRAM: under Wine in a terminal, Ctrl+C also
// ends the shell around the probe, so the status is kept in OUT_FILE too.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Note(const char* file, const char* when, HANDLE in) {
  DWORD mode = 0;
  const BOOL ok = GetConsoleMode(in, &mode);
  if (std::FILE* f = std::fopen(file, "a")) {
    if (ok)
      std::fprintf(f, "%s: 0x%lx\n", when, static_cast<unsigned long>(mode));
    else
      std::fprintf(f, "%s: error %lu\n", when, static_cast<unsigned long>(GetLastError()));
    std::fclose(f);
  }
}

// The cursor of the console's screen buffer, as "size,visible".
void NoteCursor(const char* file, const char* when) {
  CONSOLE_CURSOR_INFO cursor{};
  const BOOL ok = GetConsoleCursorInfo(GetStdHandle(STD_OUTPUT_HANDLE), &cursor);
  if (std::FILE* f = std::fopen(file, "a")) {
    if (ok)
      std::fprintf(f, "cursor-%s: %lu,%d\n", when, static_cast<unsigned long>(cursor.dwSize),
                   cursor.bVisible ? 1 : 0);
    else
      std::fprintf(f, "cursor-%s: error-%lu\n", when, static_cast<unsigned long>(GetLastError()));
    std::fclose(f);
  }
}

// Moves the window down the buffer, as the mouse wheel or the scroll bar does.
void Scroll(const char* file) {
  constexpr SHORT kDown = 5;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  BOOL ok = GetConsoleScreenBufferInfo(out, &info);
  const SMALL_RECT& w = info.srWindow;
  const COORD taller{info.dwSize.X, static_cast<SHORT>(w.Bottom + 1 + kDown)};
  if (ok && info.dwSize.Y < taller.Y) ok = SetConsoleScreenBufferSize(out, taller);
  const SMALL_RECT down{w.Left, static_cast<SHORT>(w.Top + kDown), w.Right,
                        static_cast<SHORT>(w.Bottom + kDown)};
  if (ok) ok = SetConsoleWindowInfo(out, TRUE, &down);
  if (ok) ok = GetConsoleScreenBufferInfo(out, &info);
  if (std::FILE* f = std::fopen(file, "a")) {
    if (ok)
      std::fprintf(f, "scrolled: %d\n", info.srWindow.Top);
    else
      std::fprintf(f, "scrolled: error-%lu\n", static_cast<unsigned long>(GetLastError()));
    std::fclose(f);
  }
}

BOOL WINAPI Ignore(DWORD) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5) {
    SetConsoleOutputCP(static_cast<UINT>(std::strtoul(argv[4], nullptr, 10)));
    SetConsoleCP(GetConsoleOutputCP());
  } else if (argc != 4) {
    std::fprintf(stderr, "usage: console_mode_probe MODE OUT_FILE PROGRAM\n");
    return 2;
  }
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  SetConsoleMode(in, static_cast<DWORD>(std::strtoul(argv[1], nullptr, 16)));
  Note(argv[2], "before", in);
  const CONSOLE_CURSOR_INFO found{57, TRUE};
  SetConsoleCursorInfo(GetStdHandle(STD_OUTPUT_HANDLE), &found);
  NoteCursor(argv[2], "before");
  SetConsoleCtrlHandler(Ignore, TRUE);

  std::string command = argv[3];
  STARTUPINFOA start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                      &child)) {
    std::fprintf(stderr, "cannot start %s: error %lu\n", argv[3],
                 static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  bool noted = false;
  bool scrolled = false;
  while (WaitForSingleObject(child.hProcess, 50) == WAIT_TIMEOUT) {
    if (!noted && GetFileAttributesA("probe-now") != INVALID_FILE_ATTRIBUTES) {
      Note(argv[2], "running", in);
      NoteCursor(argv[2], "running");
      noted = true;
    }
    if (!scrolled && GetFileAttributesA("probe-scroll") != INVALID_FILE_ATTRIBUTES) {
      Scroll(argv[2]);
      scrolled = true;
    }
  }
  Note(argv[2], "after", in);
  NoteCursor(argv[2], "after");
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    if (std::FILE* f = std::fopen(argv[2], "a")) {
      std::fprintf(f, "top: %d\n", info.srWindow.Top);
      std::fclose(f);
    }
  }
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  if (std::FILE* f = std::fopen(argv[2], "a")) {
    std::fprintf(f, "status: %lu\n", static_cast<unsigned long>(status));
    std::fclose(f);
  }
  return static_cast<int>(status);
}

// The real program in a real terminal: a tmux server of its own runs the
// command in a pane of a fixed size; the test types keys and reads the screen.
// Com1Command gives the command line that runs a program with its COM1
// (/dev/ttyS0) redirected to a device, through scripts/with-com1 as the demo
// does.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "shell.h"

// "with-com1 DEVICE PROGRAM": program (by default the monitor) with COM1 = device.
std::string Com1Command(const std::string& device, const std::string& program = VARNHALT_BIN);

class Terminal {
 public:
  // Starts command in dir; the command's exit status is kept for ExitStatus.
  Terminal(const std::string& command, const std::string& dir, int cols = 100, int rows = 40);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void Type(const std::string& text);  // literal text
  void Key(const std::string& key);    // a tmux key name: Enter, Escape, Up, ...
  std::vector<std::string> Screen();   // one string per row, trailing blanks cut
  std::string Row(int row);
  // Waits until text shows on the screen; false after timeout_ms.
  bool WaitFor(const std::string& text, int timeout_ms = 5000);
  // Waits for the command to end; its exit status, or -1 after timeout_ms.
  int ExitStatus(int timeout_ms = 5000);
  // The process id of the pane's process called name (its comm), or -1.
  int Pid(const std::string& name);
  // The cursor's column and row, counted from 0.
  std::pair<int, int> Cursor();
  // True while the terminal shows the cursor (the program may hide it).
  bool CursorShown();
  // Gives the window a new size, as a technician dragging its corner does.
  void Resize(int cols, int rows);
  // The tmux server's process id: stopping it stops the terminal reading.
  int ServerPid();

 private:
  std::string Tmux(const std::string& args);
  std::string socket_;
  std::string status_file_;
};

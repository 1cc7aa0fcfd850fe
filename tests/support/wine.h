// Wine for the tests and the benchmark: the Windows program in a Wine prefix
// of its own, its COM1 wired to a device of the caller's choice.
//
// A new prefix takes about 11 s, a copy about 2 s: make a template once and
// copy it for every run.
#pragma once

#include <string>

// The cross-built varnhalt_test.exe of this build.
inline constexpr const char* kWinExe = VARNHALT_WIN_EXE;

// The environment of every Wine command for prefix: no display, no Mono or
// Gecko installers, no debug channels. Ends in a blank, to prefix a command.
std::string WineEnv(const std::string& prefix);

// Makes a new prefix at path, which must not exist yet (with a dosdevices/
// made beforehand Wine never makes its c: link and wineboot loops). Returns
// "" or why no prefix was made.
std::string MakeWinePrefix(const std::string& path);

// Copies the prefix from to the path to, which must not exist yet.
bool CopyWinePrefix(const std::string& from, const std::string& to);

// Ends the wineserver of prefix and every Wine process in it.
void StopWine(const std::string& prefix);

// Wires COM1 of prefix to device, in the registry (Wine rewrites a bare
// dosdevices link at every start) and as the dosdevices link. device may be
// a link of the caller's that is later pointed elsewhere.
void WireCom1(const std::string& prefix, const std::string& device);

// The command line that runs exe under Wine in prefix, Wine's own messages
// (stderr) to err_file rather than to the terminal.
std::string WineCommand(const std::string& prefix, const std::string& exe,
                        const std::string& err_file);

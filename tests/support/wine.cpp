#include "wine.h"

#include <ctime>
#include <filesystem>
#include <fstream>

#include "shell.h"

namespace fs = std::filesystem;

std::string WineEnv(const std::string& prefix) {
  return "env -u DISPLAY WINEPREFIX=" + Quote(prefix) +
         " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
}

std::string MakeWinePrefix(const std::string& path) {
  const std::string env = WineEnv(path);
  ShellStatus(env + "timeout 120 " + Quote(VARNHALT_WINE) + " wineboot -i >/dev/null 2>&1; " + env +
              "timeout 30 " + Quote(VARNHALT_WINESERVER) + " -w");
  if (fs::exists(path + "/dosdevices/c:") && fs::exists(path + "/system.reg")) return "";
  return "wineboot did not make a Wine prefix in " + path;
}

bool CopyWinePrefix(const std::string& from, const std::string& to) {
  return ShellStatus("cp -a " + Quote(from) + " " + Quote(to)) == 0;
}

void StopWine(const std::string& prefix) {
  ShellStatus(WineEnv(prefix) + Quote(VARNHALT_WINESERVER) + " -k >/dev/null 2>&1");
}

void WireCom1(const std::string& prefix, const std::string& device) {
  std::ofstream(prefix + "/system.reg", std::ios::app)
      << "\n[Software\\\\Wine\\\\Ports] " << std::time(nullptr) << "\n\"COM1\"=\"" << device
      << "\"\n";
  fs::remove(prefix + "/dosdevices/com1");
  fs::create_symlink(device, prefix + "/dosdevices/com1");
}

std::string WineCommand(const std::string& prefix, const std::string& exe,
                        const std::string& err_file) {
  return WineEnv(prefix) + Quote(VARNHALT_WINE) + " " + Quote(exe) + " 2>" + Quote(err_file);
}

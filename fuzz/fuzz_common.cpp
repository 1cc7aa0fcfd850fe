#include "fuzz_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "print_log.h"

namespace {

constexpr int32_t kFuzzLogLimit = 4096;
std::string g_dir;
unsigned long g_logSize = 0;

void RemoveLogDir() {
  std::remove((g_dir + "/comlog.log").c_str());
  std::remove((g_dir + "/comlog.bak").c_str());
  rmdir(g_dir.c_str());
}

const char* TempBase() {
  const char* env = std::getenv("VARNHALT_FUZZ_LOGDIR");
  if (env && *env) return env;
  struct stat st {};
  return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
}

}  // namespace

void FuzzSetUp(unsigned long logSize) {
  g_logSize = logSize;
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  std::string pattern = std::string(TempBase()) + "/varnhalt-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  g_dir = pattern;
  std::atexit(RemoveLogDir);
  const char* log = std::getenv("VARNHALT_FUZZ_LOG");
  if (log && std::string(log) == "0") g_logSize = 0;
  if (log && std::string(log) == "1") g_logSize = static_cast<unsigned long>(-1);
  printlog_init((g_dir + "/comlog").c_str(), 1, kFuzzLogLimit);
}

bool FuzzLogFor(unsigned long size) { return size <= g_logSize && g_logSize > 0; }

void FuzzCheckLogEndsInLineBreak() {
  std::FILE* f = std::fopen(m_OutputFile, "rb");
  if (!f) return;
  int last = '\n';
  if (std::fseek(f, -1, SEEK_END) == 0) last = std::fgetc(f);
  std::fclose(f);
  if (last != '\n') {
    std::fprintf(stderr, "log: %s does not end in a line break\n", m_OutputFile);
    std::abort();
  }
}

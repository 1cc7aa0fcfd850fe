// The template Wine prefix, made once per run of the Wine tests and copied
// for every test.
#include "wine_fixture.h"

namespace wine_test {

namespace {

constexpr const char* kMissing = VARNHALT_WINE_MISSING;

}  // namespace

TemplatePrefix g_template;

class WineEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    if (*kMissing) {
      g_template.error = std::string("not installed: ") + kMissing + "; then run cmake again";
      return;
    }
    if (access(kWinExe, R_OK) != 0) {
      g_template.error = std::string("no cross-built program at ") + kWinExe;
      return;
    }
    g_template.dir = std::make_unique<TempDir>();
    g_template.path = g_template.dir->File("template");
    g_template.error = MakeWinePrefix(g_template.path);
  }

  void TearDown() override {
    if (!g_template.dir) return;
    StopWine(g_template.path);
    g_template.dir.reset();
  }
};

const testing::Environment* const g_environment =
    testing::AddGlobalTestEnvironment(new WineEnvironment);

}  // namespace wine_test

// The exe as Windows knows it: its version resource read back with
// GetFileVersionInfoW under Wine, and its one application manifest, which
// must be well-formed XML (Windows refuses to start an exe whose manifest is
// not; Wine may not).
#include "wine_fixture.h"

namespace wine_test {
namespace {

class WineResource : public WineMonitor {
 protected:
  WineResource() { startInSetUp_ = false; }
};

TEST_F(WineResource, VersionResourceAndOneManifest) {
  fs::copy_file(kWinExe, work_ + "/varnhalt_test.exe");
  const std::string err = dir_.File("wine.err");
  ASSERT_EQ(ShellStatus("cd " + Quote(work_) + " && " + WineEnv(prefix_) + Quote(VARNHALT_WINE) +
                        " " + Quote(VARNHALT_WIN_VERSION_INFO) +
                        " varnhalt_test.exe manifest.xml >info.txt 2>" + Quote(err)),
            0)
      << ReadFile(err);
  const std::string v = VARNHALT_VERSION;
  std::string expected;
  for (const std::string& line :
       {std::string("ProductName: varnhalt_test"),
        std::string("FileDescription: " VARNHALT_SUMMARY), "FileVersion: " + v,
        "ProductVersion: " + v, std::string("OriginalFilename: varnhalt_test.exe"),
        "File version: " + v + ".0", "Product version: " + v + ".0",
        std::string("Manifest id: 1\r\nManifest resources: 1")})
    expected += line + "\r\n";
  EXPECT_EQ(ReadFile(work_ + "/info.txt"), expected);

  std::string lint;
  EXPECT_EQ(ShellStatus("xmllint --noout " + Quote(work_ + "/manifest.xml") + " 2>&1", &lint), 0)
      << lint;
  const std::string manifest = ReadFile(work_ + "/manifest.xml");
  for (const std::string& part : {std::string("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
                                  std::string("level=\"asInvoker\""), "version=\"" + v + ".0\""})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);  // the user's code page stays
}

}  // namespace
}  // namespace wine_test

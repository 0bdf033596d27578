// The systemd unit passes the manager's own check, and km7d links nothing of
// a display.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <regex>

#include "Km7dProcess.h"

namespace {

using namespace km7d_test;

std::string Capture(const std::string& command, int& status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
  status = ::pclose(p);
  return out;
}

// The unit as installed, with ExecStart naming the program just built.
std::string UnitForThisBuild() {
  std::string unit = ReadFile(std::string(KM7_SOURCE_DIR) + "/data/systemd/km7d.service");
  return std::regex_replace(unit, std::regex("/usr/bin/km7d"), KM7D_PROGRAM);
}

TEST(Km7dUnit, SystemdAnalyzeVerifyPassesWithoutAWord) {
  TempDir dir;
  const auto unit = dir / "km7d.service";
  WriteFile(unit, UnitForThisBuild());
  int status = -1;
  const std::string out = Capture("systemd-analyze verify --man=no '" + unit.string() + "' 2>&1", status);
  EXPECT_EQ(status, 0) << out;
  // A key or value it does not understand is only a warning: none allowed.
  EXPECT_EQ(out, "");
}

TEST(Km7dUnit, VerifyCatchesAMistake) {
  // The check above can fail: a wrong service type is reported.
  TempDir dir;
  const auto unit = dir / "km7d.service";
  WriteFile(unit, std::regex_replace(UnitForThisBuild(), std::regex("Type=notify"), "Type=notifyy"));
  int status = -1;
  const std::string out = Capture("systemd-analyze verify --man=no '" + unit.string() + "' 2>&1", status);
  EXPECT_NE(out.find("notifyy"), std::string::npos) << out;
}

TEST(Km7dProgram, LinksNoWidgetOrGuiLibrary) {
  int status = -1;
  const std::string needed = Capture(std::string("readelf -d '") + KM7D_PROGRAM + "'", status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(needed.find("NEEDED"), std::string::npos);
  for (const char* lib : {"Qt6Widgets", "Qt6Gui", "libX11", "libxcb", "libGL"})
    EXPECT_EQ(needed.find(lib), std::string::npos) << lib << " in\n" << needed;
}

}  // namespace

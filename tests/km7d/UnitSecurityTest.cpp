// The unit's exposure as the manager rates it, read from its own report.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <regex>

#include "Km7dProcess.h"

namespace {

using namespace km7d_test;

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
  ::pclose(p);
  return out;
}

// "Overall exposure level for km7d.service: 1.8 OK"; -1 when there is none.
double Exposure(const std::string& unitText) {
  TempDir dir;
  const auto unit = dir / "km7d.service";
  WriteFile(unit, unitText);
  const std::string out = Capture("systemd-analyze security --offline=yes '" + unit.string() + "' 2>&1");
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(Overall exposure level for km7d\.service: ([0-9]+\.[0-9]+))"))) {
    ADD_FAILURE() << out;
    return -1;
  }
  return std::stod(m[1].str());
}

std::string InstalledUnit() { return ReadFile(std::string(KM7_SOURCE_DIR) + "/data/systemd/km7d.service"); }

TEST(Km7dUnitSecurity, ExposureAtMostThree) {
  const double exposure = Exposure(InstalledUnit());
  EXPECT_GE(exposure, 0.0);
  EXPECT_LE(exposure, 3.0);
}

TEST(Km7dUnitSecurity, EachLostGroupOfHardeningShows) {
  // The figure moves with the unit: dropping a group of its settings raises
  // it, so the bound above guards the settings rather than a fixed text.
  const double hardened = Exposure(InstalledUnit());
  const struct {
    const char* what;
    const char* pattern;
  } groups[] = {
      {"system-call filter", R"(\nSystemCallFilter=[^\n]*)"},
      {"capabilities", R"(\n(CapabilityBoundingSet|AmbientCapabilities)=[^\n]*)"},
      {"device policy", R"(\nDevice(Policy|Allow)=[^\n]*)"},
      // MemoryDenyWriteExecute and UMask weigh too little alone to move the
      // one-decimal figure.
      {"namespaces, kernel, writable code, umask",
       R"(\n(RestrictNamespaces|ProtectKernelLogs|ProtectClock|ProtectHostname|MemoryDenyWriteExecute|UMask)=[^\n]*)"},
  };
  for (const auto& g : groups) {
    const std::string stripped = std::regex_replace(InstalledUnit(), std::regex(g.pattern), "");
    EXPECT_NE(stripped, InstalledUnit()) << g.what << " is not in the unit";
    EXPECT_GT(Exposure(stripped), hardened) << g.what;
  }
  // Without all of them the unit is back where it was before hardening.
  std::string bare = InstalledUnit();
  for (const auto& g : groups) bare = std::regex_replace(bare, std::regex(g.pattern), "");
  EXPECT_GT(Exposure(bare), 3.0);
}

// MemoryDenyWriteExecute as the kernel's own switch (PR_SET_MDWE, kept
// across exec): km7d reads the simulated module under it as the unit runs it.
TEST(Km7dUnitSecurity, ReadsTheModulesWithoutWritableCode) {
  const std::string python = km7::it::FindProgram("python3");
  if (python.empty()) GTEST_SKIP() << "python3 is not installed";
  const char* script = R"(
import ctypes, mmap, os, sys
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(65, 1, 0, 0, 0) != 0:
    print("no PR_SET_MDWE in this kernel", flush=True)
    sys.exit(77)
try:
    mmap.mmap(-1, 4096, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
    print("writable code was allowed", flush=True)
    sys.exit(3)
except OSError:
    pass
os.execv(sys.argv[1], sys.argv[1:])
)";
  TempDir dir;
  WriteFile(dir / "sim.conf", SimModules({{"Lab", 21.0}}));
  const km7::it::RunResult r = km7::it::RunProgram(
      {python, "-c", script, KM7D_PROGRAM, "--once", "--metrics-listen", "off"}, {}, std::chrono::seconds(120),
      {{"LD_LIBRARY_PATH", KM7_SIM_DIR}, {"KM7_SIM_CONFIG", (dir / "sim.conf").string()},
       {"XDG_CONFIG_HOME", (dir / "config").string()}, {"XDG_STATE_HOME", (dir / "state").string()},
       {"XDG_DATA_HOME", (dir / "data").string()}});
  if (r.exitCode == 77) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"ok\":true"), std::string::npos) << r.out << r.err;
}

}  // namespace

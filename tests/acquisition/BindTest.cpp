// The binding against whatever libftd2xx.so LD_LIBRARY_PATH offers. Each
// registration of this program runs it with another library: KM7_EXPECT says
// which outcome that library must give ("bound", "no-library", or the name of
// the one entry point the library lacks).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/D2xxDevice.h"
#include "acquisition/D2xxLibrary.h"
#include "platform/Reporter.h"

namespace {

std::string Expectation() {
  const char* e = std::getenv("KM7_EXPECT");
  return e ? e : "";
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    expect = Expectation();
    ASSERT_FALSE(expect.empty()) << "run through ctest: KM7_EXPECT is not set";
    km7::SetReporter([this](const std::string& text) {
      messages.push_back(text);
    });
  }
  void TearDown() override { km7::SetReporter(nullptr); }
  std::string expect;
  std::vector<std::string> messages;
};

TEST_F(Binding, Outcome) {
  D2xxLibrary lib;
  DriversLoaded.store(0);
  const int result = lib.Bind();
  if (expect == "bound") {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(DriversLoaded.load(), 1);
    EXPECT_NE(lib.ModuleHandle(), nullptr);
    for (std::size_t i = 0; i < D2xxLibrary::kEntryPointCount; ++i)
      EXPECT_TRUE(lib.HasEntryPoint(i)) << D2xxLibrary::kEntryPointNames[i];
    EXPECT_TRUE(messages.empty());
    return;
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(DriversLoaded.load(), 0);
  if (expect == "no-library") {
    // stderr names the file, the loader's reason and where to read on.
    testing::internal::CaptureStderr();
    D2xxLibrary again;
    EXPECT_EQ(again.Bind(), 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("km7: the bridge driver library libftd2xx.so was not found (libftd2xx.so: ", 0), 0u)
        << said;
    EXPECT_NE(said.find("cannot open shared object file"), std::string::npos) << said;
    EXPECT_NE(said.find("). The manual page km7(1) says how to install it.\n"),
              std::string::npos)
        << said;
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_EQ(lib.ModuleHandle(), nullptr);
    for (std::size_t i = 0; i < D2xxLibrary::kEntryPointCount; ++i) EXPECT_FALSE(lib.HasEntryPoint(i));
    return;
  }
  std::string text = "Error: Can't Find " + expect;
  if (expect == "FT_SetLatencyTimer") text += ".  ";
  EXPECT_EQ(messages, std::vector<std::string>{text});
  // Names before the missing one stay bound; the rest were not looked up.
  bool before = true;
  for (std::size_t i = 0; i < D2xxLibrary::kEntryPointCount; ++i) {
    if (expect == D2xxLibrary::kEntryPointNames[i]) before = false;
    EXPECT_EQ(lib.HasEntryPoint(i), before) << D2xxLibrary::kEntryPointNames[i];
  }
}

TEST_F(Binding, FailureLeavesTheFlagOrClearsItWhenNoLibrary) {
  if (expect == "bound") GTEST_SKIP() << "a complete library binds";
  D2xxLibrary lib;
  DriversLoaded.store(1);
  EXPECT_EQ(lib.Bind(), 1);
  // A missing entry point leaves the flag as it was; a missing library clears it.
  EXPECT_EQ(DriversLoaded.load(), expect == "no-library" ? 0 : 1);
  DriversLoaded.store(0);
}

TEST_F(Binding, WrapperOfAnUnboundEntryPointRefusesTheCall) {
  if (expect == "bound") GTEST_SKIP() << "a complete library binds";
  auto lib = std::make_shared<D2xxLibrary>();
  lib->Bind();
  D2xxDevice device(lib);
  messages.clear();
  UCHAR pins = 0x5A;
  if (expect == "FT_Write") {
    DWORD written = 0;
    EXPECT_EQ(device.FT_Write(&pins, 1, &written), 1u);
    EXPECT_EQ(messages, std::vector<std::string>{"FT_Write is not valid!"});
  } else {
    // FT_GetBitMode comes last, so every incomplete binding lacks it.
    EXPECT_EQ(device.FT_GetBitMode(&pins), 1u);
    EXPECT_EQ(pins, 0x5A);
    EXPECT_EQ(messages, std::vector<std::string>{"FT_GetBitMode is not valid!"});
  }
}

}  // namespace

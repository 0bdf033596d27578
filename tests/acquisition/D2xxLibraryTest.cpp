#include "acquisition/D2xxLibrary.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <vector>

#include "acquisition/D2xxDevice.h"
#include "platform/Reporter.h"

namespace {

class D2xxWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    km7::SetReporter([this](const std::string& text) {
      messages.push_back(text);
    });
  }
  void TearDown() override { km7::SetReporter(nullptr); }
  std::shared_ptr<D2xxLibrary> lib = std::make_shared<D2xxLibrary>();
  D2xxDevice dev{lib};
  std::vector<std::string> messages;
};

TEST_F(D2xxWrappers, NullEntryPointShowsItsNameAndFails) {
  UCHAR pins = 0x77;
  DWORD written = 0;
  D2xxProgramData data{};
  EXPECT_EQ(dev.FT_Write(&pins, 1, &written), 1u);
  EXPECT_EQ(dev.FT_OpenEx("x", kFtOpenByDescription), 1u);
  EXPECT_EQ(lib->FT_ListDevices(nullptr, nullptr, kFtListNumberOnly), 1u);
  EXPECT_EQ(dev.FT_Close(), 1u);
  EXPECT_EQ(dev.FT_ResetDevice(), 1u);
  EXPECT_EQ(dev.FT_EE_Read(&data), 1u);
  EXPECT_EQ(dev.FT_EE_Program(&data), 1u);
  EXPECT_EQ(dev.FT_SetBitMode(0xFF, 1), 1u);
  EXPECT_EQ(dev.FT_GetBitMode(&pins), 1u);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "FT_Write is not valid!", "FT_OpenEx is not valid!", "FT_ListDevices is not valid!",
                          "FT_Close is not valid!", "FT_ResetDevice is not valid!", "FT_EE_Read is not valid!",
                          "FT_EE_Program is not valid!", "FT_SetBitMode is not valid!",
                          "FT_GetBitMode is not valid!"}));
  EXPECT_EQ(pins, 0x77);  // nothing was called
  EXPECT_EQ(dev.Handle(), nullptr);
  EXPECT_EQ(dev.FailedCalls(), 8u);  // the listing takes no device
}

// What the stand-ins below saw.
struct Seen {
  FT_HANDLE handle = nullptr;
  void* a = nullptr;
  void* b = nullptr;
  DWORD flags = 0;
  UCHAR mask = 0, mode = 0;
  D2xxProgramData* data = nullptr;
  int calls = 0;
};
Seen seen;
FT_HANDLE nextHandle = nullptr;
FT_STATUS nextStatus = 0;

TEST_F(D2xxWrappers, OpenExStoresTheNewHandleOnlyWhenTheLibraryWritesIt) {
  lib->entry.FT_OpenEx = [](void* arg, DWORD flags, FT_HANDLE* h) -> FT_STATUS {
    seen.a = arg;
    seen.flags = flags;
    if (nextStatus == 0) *h = nextHandle;
    return nextStatus;
  };
  const char* name = "ORV-KM7 Lab";
  nextHandle = reinterpret_cast<FT_HANDLE>(0x10);
  nextStatus = 0;
  EXPECT_EQ(dev.FT_OpenEx(name, kFtOpenByDescription), 0u);
  EXPECT_EQ(seen.a, name);
  EXPECT_EQ(seen.flags, 2u);
  EXPECT_EQ(dev.Handle(), reinterpret_cast<FT_HANDLE>(0x10));
  nextHandle = reinterpret_cast<FT_HANDLE>(0x20);
  nextStatus = 3;  // a failed open leaves the handle
  EXPECT_EQ(dev.FT_OpenEx(name, kFtOpenByDescription), 3u);
  EXPECT_EQ(dev.Handle(), reinterpret_cast<FT_HANDLE>(0x10));
  // Closing does not clear it either.
  lib->entry.FT_Close = [](FT_HANDLE h) -> FT_STATUS {
    seen.handle = h;
    return 4;
  };
  EXPECT_EQ(dev.FT_Close(), 4u);
  EXPECT_EQ(seen.handle, reinterpret_cast<FT_HANDLE>(0x10));
  EXPECT_EQ(dev.Handle(), reinterpret_cast<FT_HANDLE>(0x10));
  EXPECT_TRUE(messages.empty());
}

TEST_F(D2xxWrappers, StatusesPassThroughAndFailuresAreCounted) {
  lib->entry.FT_ListDevices = [](void* a, void* b, DWORD f) -> FT_STATUS {
    seen.a = a;
    seen.b = b;
    seen.flags = f;
    return 18;
  };
  lib->entry.FT_EE_Read = [](FT_HANDLE, D2xxProgramData* d) -> FT_STATUS {
    seen.data = d;
    return 0;
  };
  lib->entry.FT_SetBitMode = [](FT_HANDLE, UCHAR mask, UCHAR mode) -> FT_STATUS {
    seen.mask = mask;
    seen.mode = mode;
    return 0;
  };
  DWORD count = 0;
  EXPECT_EQ(lib->FT_ListDevices(&count, nullptr, kFtListNumberOnly), 18u);
  EXPECT_EQ(seen.a, &count);
  EXPECT_EQ(seen.b, nullptr);
  EXPECT_EQ(seen.flags, 0x80000000u);
  D2xxProgramData data{};
  EXPECT_EQ(dev.FT_EE_Read(&data), 0u);
  EXPECT_EQ(seen.data, &data);
  EXPECT_EQ(dev.FT_SetBitMode(0, 0), 0u);  // the reset at exit
  EXPECT_EQ(seen.mask, 0);
  EXPECT_EQ(seen.mode, 0);
  EXPECT_EQ(dev.FailedCalls(), 0u);  // the failed listing was not a device call
  EXPECT_TRUE(messages.empty());
}

}  // namespace

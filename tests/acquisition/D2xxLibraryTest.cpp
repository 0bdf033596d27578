#include "acquisition/D2xxLibrary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/MessageBox.h"

namespace {

class D2xxWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    km7::ui::SetMessageHook([this](const std::string& text, km7::ui::MessageIcon, const std::string&) {
      messages.push_back(text);
    });
  }
  void TearDown() override { km7::ui::SetMessageHook(nullptr); }
  D2xxLibrary lib;
  std::vector<std::string> messages;
};

TEST_F(D2xxWrappers, NullEntryPointShowsItsNameAndFails) {
  UCHAR pins = 0x77;
  DWORD written = 0;
  D2xxProgramData data{};
  EXPECT_EQ(lib.FT_Write(&pins, 1, &written), 1u);
  EXPECT_EQ(lib.FT_OpenEx("x", kFtOpenByDescription), 1u);
  EXPECT_EQ(lib.FT_ListDevices(nullptr, nullptr, kFtListNumberOnly), 1u);
  EXPECT_EQ(lib.FT_Close(), 1u);
  EXPECT_EQ(lib.FT_ResetDevice(), 1u);
  EXPECT_EQ(lib.FT_EE_Read(&data), 1u);
  EXPECT_EQ(lib.FT_EE_Program(&data), 1u);
  EXPECT_EQ(lib.FT_SetBitMode(0xFF, 1), 1u);
  EXPECT_EQ(lib.FT_GetBitMode(&pins), 1u);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "FT_Write is not valid!", "FT_OpenEx is not valid!", "FT_ListDevices is not valid!",
                          "FT_Close is not valid!", "FT_ResetDevice is not valid!", "FT_EE_Read is not valid!",
                          "FT_EE_Program is not valid!", "FT_SetBitMode is not valid!",
                          "FT_GetBitMode is not valid!"}));
  EXPECT_EQ(pins, 0x77);  // nothing was called
  EXPECT_EQ(lib.DeviceHandle(), nullptr);
  EXPECT_EQ(lib.FailedCalls(), 9u);
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
  lib.entry.FT_OpenEx = [](void* arg, DWORD flags, FT_HANDLE* h) -> FT_STATUS {
    seen.a = arg;
    seen.flags = flags;
    if (nextStatus == 0) *h = nextHandle;
    return nextStatus;
  };
  const char* name = "ORV-KM7 Lab";
  nextHandle = reinterpret_cast<FT_HANDLE>(0x10);
  nextStatus = 0;
  EXPECT_EQ(lib.FT_OpenEx(name, kFtOpenByDescription), 0u);
  EXPECT_EQ(seen.a, name);
  EXPECT_EQ(seen.flags, 2u);
  EXPECT_EQ(lib.DeviceHandle(), reinterpret_cast<FT_HANDLE>(0x10));
  nextHandle = reinterpret_cast<FT_HANDLE>(0x20);
  nextStatus = 3;  // a failed open leaves the handle
  EXPECT_EQ(lib.FT_OpenEx(name, kFtOpenByDescription), 3u);
  EXPECT_EQ(lib.DeviceHandle(), reinterpret_cast<FT_HANDLE>(0x10));
  // Closing does not clear it either.
  lib.entry.FT_Close = [](FT_HANDLE h) -> FT_STATUS {
    seen.handle = h;
    return 4;
  };
  EXPECT_EQ(lib.FT_Close(), 4u);
  EXPECT_EQ(seen.handle, reinterpret_cast<FT_HANDLE>(0x10));
  EXPECT_EQ(lib.DeviceHandle(), reinterpret_cast<FT_HANDLE>(0x10));
  EXPECT_TRUE(messages.empty());
}

TEST_F(D2xxWrappers, ArgumentsAndStatusPassThroughUnchanged) {
  seen = Seen{};
  lib.entry.FT_OpenEx = [](void*, DWORD, FT_HANDLE* h) -> FT_STATUS {
    *h = reinterpret_cast<FT_HANDLE>(0x42);
    return 0;
  };
  ASSERT_EQ(lib.FT_OpenEx("m", kFtOpenByDescription), 0u);
  lib.entry.FT_ListDevices = [](void* a, void* b, DWORD f) -> FT_STATUS {
    seen.a = a;
    seen.b = b;
    seen.flags = f;
    return 18;
  };
  lib.entry.FT_ResetDevice = [](FT_HANDLE h) -> FT_STATUS {
    seen.handle = h;
    ++seen.calls;
    return 0;
  };
  lib.entry.FT_EE_Read = [](FT_HANDLE h, D2xxProgramData* d) -> FT_STATUS {
    seen.handle = h;
    seen.data = d;
    d->VendorId = 0x0403;
    return 0;
  };
  lib.entry.FT_EE_Program = [](FT_HANDLE h, D2xxProgramData* d) -> FT_STATUS {
    seen.handle = h;
    seen.data = d;
    return 5;
  };
  lib.entry.FT_SetBitMode = [](FT_HANDLE h, UCHAR mask, UCHAR mode) -> FT_STATUS {
    seen.handle = h;
    seen.mask = mask;
    seen.mode = mode;
    return 0;
  };
  lib.entry.FT_GetBitMode = [](FT_HANDLE h, UCHAR* p) -> FT_STATUS {
    seen.handle = h;
    *p = 0xA5;
    return 2;
  };
  lib.entry.FT_Write = [](FT_HANDLE h, void* buf, DWORD len, DWORD* written) -> FT_STATUS {
    seen.handle = h;
    seen.a = buf;
    seen.flags = len;
    *written = len;
    return 0;
  };
  const FT_HANDLE device = reinterpret_cast<FT_HANDLE>(0x42);

  DWORD count = 0;
  EXPECT_EQ(lib.FT_ListDevices(&count, nullptr, kFtListNumberOnly), 18u);
  EXPECT_EQ(seen.a, &count);
  EXPECT_EQ(seen.b, nullptr);
  EXPECT_EQ(seen.flags, 0x80000000u);

  EXPECT_EQ(lib.FT_ResetDevice(), 0u);
  EXPECT_EQ(seen.handle, device);

  D2xxProgramData data{};
  EXPECT_EQ(lib.FT_EE_Read(&data), 0u);
  EXPECT_EQ(seen.data, &data);
  EXPECT_EQ(data.VendorId, 0x0403);
  EXPECT_EQ(lib.FT_EE_Program(&data), 5u);

  EXPECT_EQ(lib.FT_SetBitMode(0, 0), 0u);
  EXPECT_EQ(seen.mask, 0);
  EXPECT_EQ(seen.mode, 0);
  EXPECT_EQ(lib.FT_SetBitMode(0xFD, 1), 0u);
  EXPECT_EQ(seen.mask, 0xFD);
  EXPECT_EQ(seen.mode, 1);

  UCHAR pins = 0;
  EXPECT_EQ(lib.FT_GetBitMode(&pins), 2u);
  EXPECT_EQ(pins, 0xA5);

  UCHAR byte = 0x33;
  DWORD written = 0;
  EXPECT_EQ(lib.FT_Write(&byte, 1, &written), 0u);
  EXPECT_EQ(seen.a, &byte);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(seen.handle, device);
  // ListDevices 18, EE_Program 5, GetBitMode 2.
  EXPECT_EQ(lib.FailedCalls(), 3u);
  EXPECT_TRUE(messages.empty());
}

TEST(D2xxTable, ThirtyFiveNamesInLookupOrder) {
  const auto& n = D2xxLibrary::kEntryPointNames;
  EXPECT_STREQ(n[0], "FT_Write");
  EXPECT_STREQ(n[3], "FT_OpenEx");
  EXPECT_STREQ(n[11], "FT_SetLatencyTimer");
  EXPECT_STREQ(n[17], "FT_EE_UASize");
  EXPECT_STREQ(n[18], "FT_SetUSBParameters");
  EXPECT_STREQ(n[28], "FT_SetChars");
  EXPECT_STREQ(n[33], "FT_SetBitMode");
  EXPECT_STREQ(n[34], "FT_GetBitMode");
  D2xxLibrary lib;
  for (std::size_t i = 0; i < n.size(); ++i) EXPECT_FALSE(lib.HasEntryPoint(i));
  lib.entry.FT_GetBitMode = [](FT_HANDLE, UCHAR*) -> FT_STATUS { return 0; };
  EXPECT_TRUE(lib.HasEntryPoint(34));
  EXPECT_FALSE(lib.HasEntryPoint(35));
}

}  // namespace

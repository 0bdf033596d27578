#pragma once
// The bridge driver library, bound at run time, and the guarded wrappers
// through which every bridge access of the program goes.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "acquisition/D2xxTypes.h"

// 1 once every entry point of the driver library was bound.
extern std::atomic<int> DriversLoaded;

class D2xxLibrary {
 public:
  static constexpr std::size_t kEntryPointCount = 35;
  // Exported names in lookup order.
  static const std::array<const char*, kEntryPointCount> kEntryPointNames;

  // One pointer per entry point, null until found. Public so that tests can
  // put a recording stand-in in place of the library.
  struct EntryPoints {
#define KM7_D2XX_MEMBER(name) d2xx::name##_t name = nullptr;
    KM7_D2XX_ENTRY_POINTS(KM7_D2XX_MEMBER)
#undef KM7_D2XX_MEMBER
  };
  EntryPoints entry;

  D2xxLibrary() = default;
  D2xxLibrary(const D2xxLibrary&) = delete;
  D2xxLibrary& operator=(const D2xxLibrary&) = delete;
  // The library stays loaded until the program ends: no dlclose.
  ~D2xxLibrary() = default;

  static constexpr char kLibraryName[] = "libftd2xx.so";

  // Loads libftd2xx.so through the loader's search path and looks up every
  // entry point in table order. 0 = all found (DriversLoaded becomes 1).
  // 1 = no library (no message box, DriversLoaded 0; NotFoundText on
  // stderr) or a missing entry point (one message naming it; DriversLoaded
  // unchanged, later names not looked up).
  int Bind();

  // The line written to stderr when the library is not found: the file looked
  // for, the loader's reason, and where to read on.
  static std::string NotFoundText(const std::string& loaderReason);

  void* ModuleHandle() const { return module_; }
  FT_HANDLE DeviceHandle() const { return device_.load(); }
  // Whether the entry point at index i (lookup order) is set.
  bool HasEntryPoint(std::size_t i) const;
  // Wrapper calls that returned a nonzero status so far; a measurement uses
  // it to notice a transfer that did not reach the module.
  std::uint64_t FailedCalls() const { return failedCalls_.load(); }

  // Guarded wrappers: with a null entry point each shows "<name> is not
  // valid!" and returns 1; otherwise it returns the library's status.
  FT_STATUS FT_Write(void* buffer, DWORD length, DWORD* written);
  // Stores the new handle into the device handle; nothing else writes it.
  FT_STATUS FT_OpenEx(const void* arg, DWORD flags);
  FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags);
  FT_STATUS FT_Close();
  FT_STATUS FT_ResetDevice();
  FT_STATUS FT_EE_Read(D2xxProgramData* data);
  FT_STATUS FT_EE_Program(D2xxProgramData* data);
  FT_STATUS FT_SetBitMode(UCHAR mask, UCHAR mode);
  FT_STATUS FT_GetBitMode(UCHAR* pins);

 private:
  void* module_ = nullptr;
  // Shared with the acquisition thread.
  std::atomic<FT_HANDLE> device_{nullptr};
  std::atomic<std::uint64_t> failedCalls_{0};

  FT_STATUS Counted(FT_STATUS status) {
    if (status != kFtOk) failedCalls_.fetch_add(1);
    return status;
  }
  FT_STATUS Invalid(const char* name);
};

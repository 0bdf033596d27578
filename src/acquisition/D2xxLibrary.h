#pragma once
// The bridge driver library, bound once per process at run time. The calls
// on a device handle go through D2xxDevice, one per module.
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
  // The program that says it and its manual page ("km7", "km7(1)" unless
  // set); set once at start-up, before any thread binds.
  static void SetProgram(std::string name, std::string manualPage);

  void* ModuleHandle() const { return module_; }
  // Whether the entry point at index i (lookup order) is set.
  bool HasEntryPoint(std::size_t i) const;

  // The guarded wrapper of the one call without a device handle: with a null
  // entry point it shows "FT_ListDevices is not valid!" and returns 1.
  FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) const;

  // Shows "<name> is not valid!" and returns the status of a missing entry
  // point (1).
  static FT_STATUS ReportInvalid(const char* name);

 private:
  void* module_ = nullptr;
};

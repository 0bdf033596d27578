#include "acquisition/D2xxLibrary.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <utility>

#include "platform/Reporter.h"

std::atomic<int> DriversLoaded{0};

const std::array<const char*, D2xxLibrary::kEntryPointCount> D2xxLibrary::kEntryPointNames = {
#define KM7_D2XX_NAME(name) #name,
    KM7_D2XX_ENTRY_POINTS(KM7_D2XX_NAME)
#undef KM7_D2XX_NAME
};

namespace {
constexpr FT_STATUS kMissingEntryPoint = 1;

void ReportMissing(const char* name) {
  std::string text = std::string("Error: Can't Find ") + name;
  // This one message has always carried a full stop and two blanks.
  if (std::string(name) == "FT_SetLatencyTimer") text += ".  ";
  km7::Report(text);
}

std::pair<std::string, std::string>& Program() {
  static std::pair<std::string, std::string> program{"km7", "km7(1)"};
  return program;
}

}  // namespace

void D2xxLibrary::SetProgram(std::string name, std::string manualPage) {
  Program() = {std::move(name), std::move(manualPage)};
}

std::string D2xxLibrary::NotFoundText(const std::string& loaderReason) {
  return Program().first + ": the bridge driver library " + kLibraryName + " was not found (" + loaderReason +
         "). The manual page " + Program().second + " says how to install it.";
}

FT_STATUS D2xxLibrary::ReportInvalid(const char* name) {
  km7::Report(std::string(name) + " is not valid!");
  return kMissingEntryPoint;
}

int D2xxLibrary::Bind() {
  if (module_ == nullptr) {
    // Only the loader's normal search path: the installed driver, or whatever
    // LD_LIBRARY_PATH names.
    module_ = dlopen(kLibraryName, RTLD_NOW);
    if (module_ == nullptr) {
      // The window only says "DLL Drivers Not Found"; whoever started km7
      // from a terminal learns which file and why.
      const char* reason = dlerror();
      std::fprintf(stderr, "%s\n", NotFoundText(reason != nullptr ? reason : "").c_str());
      DriversLoaded.store(0);
      return 1;
    }
  }
#define KM7_D2XX_BIND(name)                                         \
  {                                                                 \
    void* symbol = dlsym(module_, #name);                           \
    if (symbol == nullptr) {                                        \
      ReportMissing(#name);                                         \
      return 1;                                                     \
    }                                                               \
    entry.name = reinterpret_cast<d2xx::name##_t>(symbol);          \
  }
  KM7_D2XX_ENTRY_POINTS(KM7_D2XX_BIND)
#undef KM7_D2XX_BIND
  DriversLoaded.store(1);
  return 0;
}

bool D2xxLibrary::HasEntryPoint(std::size_t i) const {
  const std::array<bool, kEntryPointCount> set = {
#define KM7_D2XX_SET(name) entry.name != nullptr,
      KM7_D2XX_ENTRY_POINTS(KM7_D2XX_SET)
#undef KM7_D2XX_SET
  };
  return i < set.size() && set[i];
}

FT_STATUS D2xxLibrary::FT_ListDevices(void* arg1, void* arg2, DWORD flags) const {
  if (entry.FT_ListDevices == nullptr) return ReportInvalid("FT_ListDevices");
  return entry.FT_ListDevices(arg1, arg2, flags);
}

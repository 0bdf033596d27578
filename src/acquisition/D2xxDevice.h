#pragma once
// One bridge device on the bound driver library: its handle and the guarded
// wrappers of the calls that take a handle. Each module has its own.
#include <atomic>
#include <cstdint>
#include <memory>

#include "acquisition/D2xxLibrary.h"
#include "acquisition/D2xxTypes.h"

class D2xxDevice {
 public:
  explicit D2xxDevice(std::shared_ptr<const D2xxLibrary> lib) : lib_(std::move(lib)) {}
  D2xxDevice(const D2xxDevice&) = delete;
  D2xxDevice& operator=(const D2xxDevice&) = delete;

  const D2xxLibrary& Library() const { return *lib_; }
  FT_HANDLE Handle() const { return handle_.load(); }
  // Wrapper calls that returned a nonzero status so far; a measurement uses
  // it to notice a transfer that did not reach the module.
  std::uint64_t FailedCalls() const { return failedCalls_.load(); }

  // Guarded wrappers: with a null entry point each shows "<name> is not
  // valid!" and returns 1; otherwise it returns the library's status.
  FT_STATUS FT_Write(void* buffer, DWORD length, DWORD* written);
  // Stores the new handle; nothing else writes it. Closing does not clear it.
  FT_STATUS FT_OpenEx(const void* arg, DWORD flags);
  FT_STATUS FT_Close();
  FT_STATUS FT_ResetDevice();
  FT_STATUS FT_EE_Read(D2xxProgramData* data);
  FT_STATUS FT_EE_Program(D2xxProgramData* data);
  FT_STATUS FT_SetBitMode(UCHAR mask, UCHAR mode);
  FT_STATUS FT_GetBitMode(UCHAR* pins);

 private:
  FT_STATUS Counted(FT_STATUS status) {
    if (status != kFtOk) failedCalls_.fetch_add(1);
    return status;
  }
  FT_STATUS Invalid(const char* name) { return Counted(D2xxLibrary::ReportInvalid(name)); }

  std::shared_ptr<const D2xxLibrary> lib_;
  // Written by the owner's thread, read by the acquisition thread.
  std::atomic<FT_HANDLE> handle_{nullptr};
  std::atomic<std::uint64_t> failedCalls_{0};
};

#include "acquisition/D2xxDevice.h"

FT_STATUS D2xxDevice::FT_Write(void* buffer, DWORD length, DWORD* written) {
  const auto fn = lib_->entry.FT_Write;
  if (fn == nullptr) return Invalid("FT_Write");
  return Counted(fn(handle_.load(), buffer, length, written));
}

FT_STATUS D2xxDevice::FT_OpenEx(const void* arg, DWORD flags) {
  const auto fn = lib_->entry.FT_OpenEx;
  if (fn == nullptr) return Invalid("FT_OpenEx");
  // The library writes the handle only when it opens a device; start from the
  // current one so a failed open leaves it as it was.
  FT_HANDLE handle = handle_.load();
  const FT_STATUS status = fn(const_cast<void*>(arg), flags, &handle);
  handle_.store(handle);
  return Counted(status);
}

FT_STATUS D2xxDevice::FT_Close() {
  const auto fn = lib_->entry.FT_Close;
  if (fn == nullptr) return Invalid("FT_Close");
  return Counted(fn(handle_.load()));
}

FT_STATUS D2xxDevice::FT_ResetDevice() {
  const auto fn = lib_->entry.FT_ResetDevice;
  if (fn == nullptr) return Invalid("FT_ResetDevice");
  return Counted(fn(handle_.load()));
}

FT_STATUS D2xxDevice::FT_EE_Read(D2xxProgramData* data) {
  const auto fn = lib_->entry.FT_EE_Read;
  if (fn == nullptr) return Invalid("FT_EE_Read");
  return Counted(fn(handle_.load(), data));
}

FT_STATUS D2xxDevice::FT_EE_Program(D2xxProgramData* data) {
  const auto fn = lib_->entry.FT_EE_Program;
  if (fn == nullptr) return Invalid("FT_EE_Program");
  return Counted(fn(handle_.load(), data));
}

FT_STATUS D2xxDevice::FT_SetBitMode(UCHAR mask, UCHAR mode) {
  const auto fn = lib_->entry.FT_SetBitMode;
  if (fn == nullptr) return Invalid("FT_SetBitMode");
  return Counted(fn(handle_.load(), mask, mode));
}

FT_STATUS D2xxDevice::FT_GetBitMode(UCHAR* pins) {
  const auto fn = lib_->entry.FT_GetBitMode;
  if (fn == nullptr) return Invalid("FT_GetBitMode");
  return Counted(fn(handle_.load(), pins));
}

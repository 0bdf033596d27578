#pragma once
// Types of the bridge driver library as its Linux build exports them.
#include <cstdint>

using FT_HANDLE = void*;
using DWORD = std::uint32_t;
using UCHAR = std::uint8_t;
// Every entry point returns its status as an unsigned long; 0 = success.
using FT_STATUS = unsigned long;

inline constexpr FT_STATUS kFtOk = 0;

// FT_OpenEx flags and FT_ListDevices flags the program uses.
inline constexpr DWORD kFtOpenByDescription = 2;
inline constexpr DWORD kFtListNumberOnly = 0x80000000u;
inline constexpr DWORD kFtListAllByDescription = 0x20000002u;

// FT_SetBitMode modes.
inline constexpr UCHAR kFtBitModeReset = 0;
inline constexpr UCHAR kFtBitModeAsyncBitBang = 1;

// The program-data record that FT_EE_Read fills and FT_EE_Program writes.
// Natural alignment, as the library lays it out.
struct D2xxProgramData {
  std::uint16_t VendorId;
  std::uint16_t ProductId;
  char* Manufacturer;
  char* ManufacturerId;
  char* Description;
  char* SerialNumber;
  std::uint8_t more[16];
};

// A program-data record with room for each of its strings, as the bridge's
// memory holds them (the description up to 63 characters).
struct D2xxProgramDataBuffers {
  char manufacturer[32] = {};
  char manufacturerId[16] = {};
  char description[64] = {};
  char serialNumber[16] = {};
  D2xxProgramData data{};

  D2xxProgramDataBuffers() {
    data.Manufacturer = manufacturer;
    data.ManufacturerId = manufacturerId;
    data.Description = description;
    data.SerialNumber = serialNumber;
  }
  D2xxProgramDataBuffers(const D2xxProgramDataBuffers&) = delete;
  D2xxProgramDataBuffers& operator=(const D2xxProgramDataBuffers&) = delete;
};

namespace d2xx {
// The nine entry points the program calls.
using FT_Write_t = FT_STATUS (*)(FT_HANDLE, void* buffer, DWORD length, DWORD* written);
using FT_OpenEx_t = FT_STATUS (*)(void* arg, DWORD flags, FT_HANDLE* handle);
using FT_ListDevices_t = FT_STATUS (*)(void* arg1, void* arg2, DWORD flags);
using FT_Close_t = FT_STATUS (*)(FT_HANDLE);
using FT_ResetDevice_t = FT_STATUS (*)(FT_HANDLE);
using FT_EE_Read_t = FT_STATUS (*)(FT_HANDLE, D2xxProgramData*);
using FT_EE_Program_t = FT_STATUS (*)(FT_HANDLE, D2xxProgramData*);
using FT_SetBitMode_t = FT_STATUS (*)(FT_HANDLE, UCHAR mask, UCHAR mode);
using FT_GetBitMode_t = FT_STATUS (*)(FT_HANDLE, UCHAR* pins);

// The other 26 are required by the binding but never called, so they are
// held without a signature and must not be called through these.
using Unused_t = void (*)();
using FT_Read_t = Unused_t;
using FT_Open_t = Unused_t;
using FT_Purge_t = Unused_t;
using FT_SetTimeouts_t = Unused_t;
using FT_GetQueueStatus_t = Unused_t;
using FT_GetStatus_t = Unused_t;
using FT_SetLatencyTimer_t = Unused_t;
using FT_GetLatencyTimer_t = Unused_t;
using FT_EE_UARead_t = Unused_t;
using FT_EE_UAWrite_t = Unused_t;
using FT_EE_UASize_t = Unused_t;
using FT_SetUSBParameters_t = Unused_t;
using FT_SetBaudRate_t = Unused_t;
using FT_SetDivisor_t = Unused_t;
using FT_SetDataCharacteristics_t = Unused_t;
using FT_SetFlowControl_t = Unused_t;
using FT_SetDtr_t = Unused_t;
using FT_ClrDtr_t = Unused_t;
using FT_SetRts_t = Unused_t;
using FT_ClrRts_t = Unused_t;
using FT_GetModemStatus_t = Unused_t;
using FT_SetChars_t = Unused_t;
using FT_SetBreakOn_t = Unused_t;
using FT_SetBreakOff_t = Unused_t;
using FT_SetWaitMask_t = Unused_t;
using FT_WaitOnMask_t = Unused_t;
}  // namespace d2xx

// All 35 entry points in the order the binding looks them up.
#define KM7_D2XX_ENTRY_POINTS(X)                                                              \
  X(FT_Write) X(FT_Read) X(FT_Open) X(FT_OpenEx) X(FT_ListDevices) X(FT_Close)                 \
  X(FT_ResetDevice) X(FT_Purge) X(FT_SetTimeouts) X(FT_GetQueueStatus) X(FT_GetStatus)         \
  X(FT_SetLatencyTimer) X(FT_GetLatencyTimer) X(FT_EE_Read) X(FT_EE_Program) X(FT_EE_UARead)   \
  X(FT_EE_UAWrite) X(FT_EE_UASize) X(FT_SetUSBParameters) X(FT_SetBaudRate) X(FT_SetDivisor)   \
  X(FT_SetDataCharacteristics) X(FT_SetFlowControl) X(FT_SetDtr) X(FT_ClrDtr) X(FT_SetRts)     \
  X(FT_ClrRts) X(FT_GetModemStatus) X(FT_SetChars) X(FT_SetBreakOn) X(FT_SetBreakOff)          \
  X(FT_SetWaitMask) X(FT_WaitOnMask) X(FT_SetBitMode) X(FT_GetBitMode)

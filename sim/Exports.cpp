// The exported driver interface: 35 FT_* entry points plus the simulator's
// own control calls. The libraries that lack one export hide it with a
// version script when they are linked (sim/CMakeLists.txt).
#include <cstdint>

#include "Simulator.h"
#include "km7sim.h"

#define KM7SIM_EXPORT extern "C" __attribute__((visibility("default")))

using FT_HANDLE = void*;
using DWORD = uint32_t;
using UCHAR = uint8_t;
using USHORT = uint16_t;
using FT_STATUS = unsigned long;

namespace {

km7sim::Simulator& Sim() {
  km7sim::Simulator& s = km7sim::Simulator::Instance();
  s.CountCall();
  return s;
}

// For entry points that only report "nothing pending": a zero into `out`.
[[maybe_unused]] FT_STATUS Fill(km7sim::Simulator& sim, FT_HANDLE handle, DWORD* out) {
  const FT_STATUS s = sim.Check(handle);
  if (s != KM7SIM_OK) return s;
  if (out == nullptr) return KM7SIM_INVALID_PARAMETER;
  *out = 0;
  return KM7SIM_OK;
}

[[maybe_unused]] FT_STATUS ParamOrHandle(km7sim::Simulator& sim, FT_HANDLE handle) {
  const FT_STATUS s = sim.Check(handle);
  return s != KM7SIM_OK ? s : FT_STATUS{KM7SIM_INVALID_PARAMETER};
}

}  // namespace

KM7SIM_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD length, DWORD* written) {
  return Sim().Write(handle, buffer, length, written);
}

KM7SIM_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD length, DWORD* got) {
  return Sim().Read(handle, buffer, length, got);
}

KM7SIM_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE* handle) {
  return Sim().OpenByIndex(index, handle);
}

KM7SIM_EXPORT FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) {
  return Sim().OpenEx(arg, flags, handle);
}

KM7SIM_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
  return Sim().ListDevices(arg1, arg2, flags);
}

KM7SIM_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
  return Sim().Close(handle);
}

KM7SIM_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask) {
  (void)mask;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, DWORD readMs, DWORD writeMs) {
  (void)readMs;
  (void)writeMs;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  return Fill(Sim(), handle, rxBytes);
}

KM7SIM_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* events) {
  km7sim::Simulator& sim = Sim();
  if (rxBytes == nullptr || txBytes == nullptr || events == nullptr) {
    return ParamOrHandle(sim, handle);
  }
  *rxBytes = 0;
  *txBytes = 0;
  return Fill(sim, handle, events);
}

KM7SIM_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
  return Sim().SetLatencyTimer(handle, ms);
}

KM7SIM_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, UCHAR* ms) {
  return Sim().GetLatencyTimer(handle, ms);
}

KM7SIM_EXPORT FT_STATUS FT_EE_Read(FT_HANDLE handle, km7sim_program_data* data) {
  return Sim().EeRead(handle, data);
}

KM7SIM_EXPORT FT_STATUS FT_EE_Program(FT_HANDLE handle, km7sim_program_data* data) {
  return Sim().EeProgram(handle, data);
}

KM7SIM_EXPORT FT_STATUS FT_EE_UARead(FT_HANDLE handle, UCHAR* buffer, DWORD length, DWORD* got) {
  return Sim().UaRead(handle, buffer, length, got);
}

KM7SIM_EXPORT FT_STATUS FT_EE_UAWrite(FT_HANDLE handle, UCHAR* buffer, DWORD length) {
  return Sim().UaWrite(handle, buffer, length);
}

KM7SIM_EXPORT FT_STATUS FT_EE_UASize(FT_HANDLE handle, DWORD* size) {
  return Sim().UaSize(handle, size);
}

KM7SIM_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize) {
  (void)inSize;
  (void)outSize;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, DWORD baud) {
  (void)baud;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetDivisor(FT_HANDLE handle, USHORT divisor) {
  (void)divisor;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity) {
  (void)wordLength;
  (void)stopBits;
  (void)parity;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) {
  (void)flow;
  (void)xon;
  (void)xoff;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetDtr(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_ClrDtr(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetRts(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_ClrRts(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_GetModemStatus(FT_HANDLE handle, DWORD* status) {
  return Fill(Sim(), handle, status);
}

KM7SIM_EXPORT FT_STATUS FT_SetChars(FT_HANDLE handle, UCHAR eventChar, UCHAR eventEnable, UCHAR errorChar, UCHAR errorEnable) {
  (void)eventChar;
  (void)eventEnable;
  (void)errorChar;
  (void)errorEnable;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetBreakOn(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetBreakOff(FT_HANDLE handle) {
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_SetWaitMask(FT_HANDLE handle, DWORD mask) {
  (void)mask;
  return Sim().Check(handle);
}

KM7SIM_EXPORT FT_STATUS FT_WaitOnMask(FT_HANDLE handle, DWORD* mask) {
  return Fill(Sim(), handle, mask);
}

KM7SIM_EXPORT FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  return Sim().SetBitMode(handle, mask, mode);
}

KM7SIM_EXPORT FT_STATUS FT_GetBitMode(FT_HANDLE handle, UCHAR* pins) {
  return Sim().GetBitMode(handle, pins);
}

KM7SIM_EXPORT uint64_t km7sim_call_count(void) { return km7sim::Simulator::Instance().Calls(); }

KM7SIM_EXPORT void km7sim_reset_call_count(void) { km7sim::Simulator::Instance().ResetCalls(); }

KM7SIM_EXPORT void km7sim_replug(void) { km7sim::Simulator::Instance().Replug(); }

KM7SIM_EXPORT uint64_t km7sim_readings(const char* description) {
  return km7sim::Simulator::Instance().Readings(description);
}

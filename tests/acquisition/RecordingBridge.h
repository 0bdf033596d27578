#pragma once
// A recording stand-in for the bridge library: installed into a D2xxLibrary's
// entry points, it logs every call as a short text and answers pin reads from
// a script. Single-threaded use only.
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "acquisition/D2xxLibrary.h"

namespace recording {

inline std::vector<std::string> calls;
inline FT_HANDLE lastHandle = nullptr;
// Answers FT_GetBitMode; defaults to all pins low.
inline std::function<UCHAR()> pins = [] { return UCHAR{0}; };
inline FT_STATUS status = 0;
// When set, answers the status of each call instead of `status`, after the
// call was recorded (so calls.size() counts it).
inline std::function<FT_STATUS()> statusOfCall;
inline FT_STATUS Status() { return statusOfCall ? statusOfCall() : status; }

inline std::string Hex(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

inline FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD length, DWORD* written) {
  lastHandle = h;
  std::string text = "write";
  // Appended piece by piece: a literal plus a temporary string draws a false
  // -Wrestrict from GCC 12's optimiser.
  for (DWORD i = 0; i < length; ++i) {
    text += ' ';
    text += Hex(static_cast<UCHAR*>(buffer)[i]);
  }
  calls.push_back(text);
  if (written) *written = length;
  return Status();
}
inline FT_STATUS SetBitMode(FT_HANDLE h, UCHAR mask, UCHAR mode) {
  lastHandle = h;
  std::string text = "mask ";
  text += Hex(mask);
  if (mode != 1) {
    text += " mode ";
    text += Hex(mode);
  }
  calls.push_back(text);
  return Status();
}
inline FT_STATUS GetBitMode(FT_HANDLE h, UCHAR* p) {
  lastHandle = h;
  calls.push_back("read");
  *p = pins();
  return Status();
}

inline void Install(D2xxLibrary& lib) {
  calls.clear();
  lastHandle = nullptr;
  pins = [] { return UCHAR{0}; };
  status = 0;
  statusOfCall = nullptr;
  lib.entry.FT_Write = &Write;
  lib.entry.FT_SetBitMode = &SetBitMode;
  lib.entry.FT_GetBitMode = &GetBitMode;
}

// Answers successive pin reads with the data bit of each given byte, most
// significant bit first, then with the data line low.
inline void ScriptBytes(std::deque<bool> bits) {
  pins = [queue = std::move(bits)]() mutable -> UCHAR {
    if (queue.empty()) return 0;
    const bool bit = queue.front();
    queue.pop_front();
    return bit ? 0x02 : 0x00;
  };
}
inline std::deque<bool> BitsOf(std::initializer_list<unsigned> bytes) {
  std::deque<bool> bits;
  for (unsigned b : bytes)
    for (int i = 7; i >= 0; --i) bits.push_back((b >> i) & 1u);
  return bits;
}

}  // namespace recording

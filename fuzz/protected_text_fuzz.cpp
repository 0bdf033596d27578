// The UTF-16 form a protected value is sealed in: arbitrary bytes (odd
// lengths, lone surrogates, no terminator) convert without harm, and every
// text comes back from its UTF-16 form up to its first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/DataProtection.h"
#include "settings/ProfileStore.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  km7::SecretBytes bytes;
  bytes.Resize(size);
  if (size > 0) std::memcpy(bytes.Data(), data, size);
  const std::string fromAny = km7::profile::FromUtf16Le(bytes);
  // At most one code page character per UTF-16 unit.
  Check(fromAny.size() <= size / 2);
  Check(fromAny.find('\0') == std::string::npos);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  km7::SecretBytes utf16;
  km7::profile::ToUtf16Le(text, utf16);
  // Every code page character is one unit, and the terminator follows.
  Check(utf16.Size() == 2 * (size + 1));
  Check(utf16.Data()[2 * size] == 0 && utf16.Data()[2 * size + 1] == 0);
  Check(km7::profile::FromUtf16Le(utf16) == text.substr(0, text.find('\0')));
  return 0;
}

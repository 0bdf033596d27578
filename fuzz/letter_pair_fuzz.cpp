// The letter-pair form of stored byte strings: any text decodes to half its
// length in bytes, bytes survive encoding and decoding, and a text of the
// form itself survives decoding and encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ProfileStore.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::vector<unsigned char> decoded = km7::profile::DecodeLetterPairs(text);
  Check(decoded.size() == size / 2);

  const std::string encoded = km7::profile::EncodeLetterPairs(data, size);
  Check(encoded.size() == 2 * size);
  for (char c : encoded) Check(c >= 'A' && c <= 'P');
  Check(km7::profile::DecodeLetterPairs(encoded) == std::vector<unsigned char>(data, data + size));

  bool letterForm = true;
  for (char c : text) letterForm = letterForm && c >= 'A' && c <= 'P';
  if (letterForm)
    Check(km7::profile::EncodeLetterPairs(decoded.data(), decoded.size()) == text.substr(0, size / 2 * 2));
  return 0;
}

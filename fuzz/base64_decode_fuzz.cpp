// Feeds arbitrary bytes to the decoder and the encoders, checking the
// properties that hold for every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smtp/Encoding.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Decoding anything: at most 3 bytes per 4 alphabet characters, and
  // decoding is stable under re-encoding.
  const std::string decoded = km7::Base64Decode(input);
  size_t alphabet = 0;
  for (char c : input) {
    if (c == '\0') break;
    alphabet += IsAlphabet(c) ? 1 : 0;
  }
  Check(decoded.size() <= alphabet * 3 / 4 + 1);
  Check(km7::Base64Decode(km7::Base64Encode(decoded)) == decoded);

  // Encoding round-trips under every flag; lines are at most 76 characters.
  for (int flags = 0; flags < 4; ++flags) {
    const std::string encoded = km7::Base64Encode(input, flags);
    Check(km7::Base64Decode(encoded) == input);
    size_t line = 0;
    for (char c : encoded) {
      if (c == '\r' || c == '\n') {
        line = 0;
      } else {
        Check(IsAlphabet(c) || c == '=');
        Check(++line <= 76 || (flags & km7::BASE64_NO_LINE_BREAKS));
      }
    }
  }

  // Quoted-printable: only soft line breaks, short lines, printable output.
  const std::string qp = km7::QPEncode(input, 0);
  size_t line = 0;
  for (size_t i = 0; i < qp.size(); ++i) {
    if (qp[i] == '\r') {
      Check(i > 0 && qp[i - 1] == '=' && i + 1 < qp.size() && qp[i + 1] == '\n');
      Check(line <= 68);
      line = 0;
      ++i;
      continue;
    }
    const auto c = static_cast<unsigned char>(qp[i]);
    Check((c >= 0x20 && c <= 0x7E) || c == '\t');
    ++line;
  }

  // An encoded word never holds a blank, a line break or "?=" inside.
  const std::string word = km7::QEncode(input, "iso-8859-1");
  const std::string_view inner = std::string_view(word).substr(15, word.size() - 17);
  Check(inner.find_first_of(" \t\r\n?") == std::string_view::npos);

  // Dot-stuffing: no line of the result is a lone dot.
  const std::string stuffed = km7::DotStuff(input);
  Check(("\r\n" + stuffed + "\r\n").find("\r\n.\r\n") == std::string::npos);
  return 0;
}

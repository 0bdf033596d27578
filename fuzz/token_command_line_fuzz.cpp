// The token command's line, split into words without a shell: any text gives
// words or a reason, and words quoted back split into the same words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/TokenCommand.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// 'word', with a single quote inside written '\''.
std::string Quote(const std::string& word) {
  std::string out = "'";
  for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  std::string error;
  if (!km7::oauth::SplitCommandLine(line, words, error)) {
    Check(!error.empty());
    return 0;
  }
  Check(!words.empty());
  std::string quoted;
  for (const std::string& w : words) quoted += Quote(w) + " ";
  std::vector<std::string> again;
  Check(km7::oauth::SplitCommandLine(quoted, again, error));
  Check(again == words);
  return 0;
}

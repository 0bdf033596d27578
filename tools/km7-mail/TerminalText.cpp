#include "TerminalText.h"

#include <ostream>
#include <sstream>

#include "platform/Text.h"

namespace km7::mail {

std::string SafeServerText(std::string_view text, size_t maxShown) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string_view shown = text.substr(0, maxShown);
  std::string visible;
  visible.reserve(shown.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    const auto c = static_cast<unsigned char>(shown[i]);
    if (c == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') {
      visible += '\n';
      ++i;
    } else if (c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
      // Control characters (a lone line feed too, which could forge a line)
      // and the bytes Windows-1252 leaves undefined (they would become C1
      // controls) are shown, not obeyed.
      visible += "\\x";
      visible += kHex[c >> 4];
      visible += kHex[c & 0x0F];
    } else {
      visible += static_cast<char>(c);
    }
  }
  std::string out = km7::Cp1252ToUtf8(visible);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (text.size() > shown.size()) {
    out += "\n[" + std::to_string(text.size() - shown.size()) + " more bytes not shown]";
  }
  return out;
}

// Prints the dialogue, one "> " (client) or "< " (server) line per line.
void PrintDialogue(std::ostream& err, bool fromClient, std::string_view text) {
  std::istringstream lines(SafeServerText(text));
  for (std::string line; std::getline(lines, line);) err << (fromClient ? "> " : "< ") << line << "\n";
}

}  // namespace km7::mail

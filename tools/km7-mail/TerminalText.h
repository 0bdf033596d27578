#pragma once
// Server text made safe for a terminal.
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace km7::mail {

// Longest piece of server text shown; the rest is counted, not printed.
inline constexpr size_t kMaxShownServerText = 4096;

// Server text (Windows-1252, "\r\n" line ends) for a terminal, in UTF-8:
// line ends become "\n", every other control character (and the bytes
// Windows-1252 leaves undefined) is shown as "\xNN", so no escape sequence
// reaches the terminal; text beyond maxShown bytes is left out with a note.
// Final line ends are dropped.
std::string SafeServerText(std::string_view text, size_t maxShown = kMaxShownServerText);

// Prints the dialogue, one "> " (client) or "< " (server) line per line.
void PrintDialogue(std::ostream& err, bool fromClient, std::string_view text);

}  // namespace km7::mail

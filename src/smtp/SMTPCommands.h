#pragma once
// The command lines of a mail transaction, and the check that keeps a text
// from ending one early.
#include <cstdint>
#include <string>
#include <string_view>

namespace km7::smtp {

// "SUCCESS", "FAILURE", "DELAY" joined by ",", or "NEVER" when no bit is set.
std::string NotifyList(int32_t dsnFlags);
// The sender and recipient commands (dsnFlags -1: no DSN parameters). An
// empty address or "<>" is the null sender "<>". eightBitBody adds
// BODY=8BITMIME.
std::string MailFromCommand(std::string_view address, int32_t dsnFlags, bool returnFull,
                            std::string_view envelopeId, bool eightBitBody = false);
std::string RcptToCommand(std::string_view address, int32_t dsnFlags);

// True when text holds CR, LF or a zero byte (any of which would end a
// command or header line early and let the rest act as one of its own).
bool HasLineBreak(std::string_view text);

}  // namespace km7::smtp

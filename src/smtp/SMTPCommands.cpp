#include "smtp/SMTPCommands.h"

namespace km7::smtp {

std::string NotifyList(int32_t dsnFlags) {
  std::string list;
  auto add = [&list](const char* word) {
    if (!list.empty()) list += ',';
    list += word;
  };
  if (dsnFlags & 1) add("SUCCESS");
  if (dsnFlags & 2) add("FAILURE");
  if (dsnFlags & 4) add("DELAY");
  return list.empty() ? std::string("NEVER") : list;
}

std::string MailFromCommand(std::string_view address, int32_t dsnFlags, bool returnFull,
                            std::string_view envelopeId, bool eightBitBody) {
  std::string command = "MAIL FROM:<";
  if (address != "<>") command += address;
  command += '>';
  if (eightBitBody) command += " BODY=8BITMIME";
  if (dsnFlags != -1) {
    command += returnFull ? " RET=FULL ENVID=" : " RET=HDRS ENVID=";
    command += envelopeId;
  }
  command += "\r\n";
  return command;
}

std::string RcptToCommand(std::string_view address, int32_t dsnFlags) {
  std::string command = "RCPT TO:<";
  command += address;
  command += '>';
  if (dsnFlags != -1) {
    command += " NOTIFY=";
    command += NotifyList(dsnFlags);
  }
  command += "\r\n";
  return command;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace km7::smtp

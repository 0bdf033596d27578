#pragma once
// The work of km7-mail once its command line is parsed: read the password,
// body and attachments, build the message, send it count times over one
// session and report the outcome.
#include <iosfwd>
#include <string>
#include <initializer_list>
#include <string_view>

#include "MailOptions.h"
#include "TerminalText.h"

class CZRKSMTPException;
class CZRKSMTPMessage;

namespace km7::mail {

// Runs the whole send. `in` is standard input (for the "-" sources),
// `err` receives errors and the --verbose report. A password read from `in`
// is read without echo when inIsTerminal. Returns an exit code.
int RunMail(const MailOptions& options, std::istream& in, std::ostream& err, bool inIsTerminal = false);

// The failure report: "km7-mail: error XXXXXXXX: text" and the server's last
// response, each line of it on a line of its own, made safe for a terminal.
std::string FormatFailure(const CZRKSMTPException& e);

// The exit code for a failure: kExitTemporary for a 4xx reply, a reply
// that never came (time-out, closed connection) and a connection that could
// not be made or broke; kExitSmtpFailure for everything else.
int ExitCodeFor(const CZRKSMTPException& e);

// "utf-8" when any of the texts holds non-ASCII bytes that form valid UTF-8
// (as a UTF-8 terminal or file gives them), else the library's default.
std::string ChooseCharset(std::initializer_list<std::string_view> texts);

// Fills message from the options (body text already read). Returns false
// with a reason for input that cannot make a message.
bool BuildMessage(const MailOptions& options, const std::string& bodyText, CZRKSMTPMessage& message,
                  std::string& error);

}  // namespace km7::mail

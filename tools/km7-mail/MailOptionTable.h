#pragma once
// The table of km7-mail's options: name, value, help text and how the value
// is checked and stored. The parser and the option list of --help both read
// it, so an option cannot be accepted and left out of the help, or the other
// way round.
#include <span>
#include <string>
#include <string_view>

#include "MailOptions.h"

namespace km7::mail {

// What the parse has seen besides the options themselves: facts the checks
// after the last argument need ("--port was given").
struct OptionParse {
  MailOptions& options;
  bool portGiven = false;
  bool startTlsGiven = false;
  bool tlsGiven = false;
  bool bodyFileGiven = false;
};

struct MailOptionSpec {
  const char* name;       // "--server"
  const char* alias;      // a one-letter form ("-h"), or nullptr
  const char* argName;    // nullptr: a flag without a value
  // One line per "\n"; the option list indents the lines after the first.
  const char* help;
  // Checks the value and stores it; false with a one-line reason.
  bool (*apply)(OptionParse& parse, const std::string& value, std::string& error);
};

std::span<const MailOptionSpec> MailOptionTable();
// By the name or the alias as typed; nullptr when there is none.
const MailOptionSpec* FindMailOption(std::string_view name);
// The option list of --help: one entry per option, in the table's order.
std::string OptionListText();

}  // namespace km7::mail

#include "app/CommandLine.h"

#include "platform/Version.h"

namespace km7 {

std::string Km7HelpText() {
  return "Usage: km7 [--help | --version] [Qt option]...\n"
         "\n"
         "Monitors an ORV-KM7 temperature and humidity sensor module: shows temperature,\n"
         "humidity and dew point, keeps a data log, draws a chart and sends alarm e-mail.\n"
         "The module is reached through the bridge's driver library libftd2xx.so, loaded\n"
         "at run time through the loader's search path (LD_LIBRARY_PATH, ldconfig).\n"
         "\n"
         "  --help, -h     this text\n"
         "  --version      print km7's version and exit\n"
         "\n"
         "Other arguments go to Qt (for example -platform offscreen, -style fusion).\n"
         "Settings: $XDG_CONFIG_HOME/km7.INI (else ~/.config/km7.INI).\n"
         "Alarm mail log: $XDG_STATE_HOME/km7/emailerrstream.txt\n"
         "(else ~/.local/state/km7/emailerrstream.txt).\n";
}

std::optional<int> AnswerInfoOptions(const std::vector<std::string>& args, std::ostream& out) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      out << Km7HelpText();
      return 0;
    }
    if (arg == "--version") {
      out << "km7 " << Version() << '\n';
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace km7

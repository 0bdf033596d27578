#include <sstream>

#include "km7d/OptionTable.h"
#include "km7d/Options.h"

namespace km7d {

namespace {

// Breaks text into lines of at most `width` characters, each indented.
void Wrap(std::ostringstream& out, const std::string& text, std::size_t indent, std::size_t width) {
  std::istringstream words(text);
  std::string word;
  std::size_t column = indent;
  bool first = true;
  while (words >> word) {
    if (!first && column + 1 + word.size() > width) {
      out << '\n' << std::string(indent, ' ');
      column = indent;
      first = true;
    }
    if (!first) {
      out << ' ';
      ++column;
    }
    out << word;
    column += word.size();
    first = false;
  }
  out << '\n';
}

}  // namespace

const char kAccountSynopsis[] =
    "       km7d account set SENSOR --user NAME [--state-dir DIR]\n"
    "       km7d account sign-in SENSOR --user ADDRESS --client-id ID\n"
    "            (--oauth2-provider microsoft|google |\n"
    "             --oauth2-device-url URL --oauth2-token-url URL)\n"
    "            [--scope TEXT] [--client-secret-file F|-] [--cafile FILE]\n"
    "            [--state-dir DIR]\n"
    "       km7d account remove SENSOR [--state-dir DIR]\n";

std::string HelpText() {
  std::ostringstream out;
  out << "Usage: km7d [OPTION]...\n"
      << kAccountSynopsis
      << "Monitors every attached ORV-KM7 sensor module (or only those named with\n"
         "--sensor) without a display: writes each sensor's data log, checks its alarms\n"
         "and sends its alarm mail as the desktop program km7 set them up, serves the\n"
         "readings to Prometheus and publishes them over MQTT. Modules plugged in later\n"
         "are picked up.\n"
         "\n"
         "Options (also \"name = value\" lines in the configuration file, without \"--\",\n"
         "except --config, --state-dir, --list, --once, --help and --version; the\n"
         "command line wins):\n";
  for (const OptionSpec& spec : OptionTable()) {
    std::string head = std::string("  --") + spec.name;
    if (spec.argName) head += std::string(" ") + spec.argName;
    if (head.size() < 28) {
      out << head << std::string(28 - head.size(), ' ');
    } else {
      out << head << '\n' << std::string(28, ' ');
    }
    Wrap(out, spec.help, 28, 79);
  }
  out << "\n"
         "Signals: SIGTERM or SIGINT stop km7d within a second; SIGHUP rereads the\n"
         "per-sensor settings and reopens the log files.\n"
         "\n"
         "km7d account set stores the mail account of a sensor for km7d alone, sealed\n"
         "under the key of its state folder; the password is read from the terminal\n"
         "without echo, or from the first line of standard input. km7d account sign-in\n"
         "signs in with OAuth 2.0 instead (it prints an address and a code to enter\n"
         "there) and keeps the refresh token in the state folder, where km7d stores a\n"
         "renewed one. Run both as the service's user (see km7d(8)).\n"
         "Exit status: 0 success; 1 --once could not read every module, or a failure\n"
         "while running; 2 bad options or configuration.\n";
  return out.str();
}

}  // namespace km7d

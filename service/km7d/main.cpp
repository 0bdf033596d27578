// km7d: monitors the attached sensor modules without a display.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "km7d/AccountCommand.h"
#include "km7d/Options.h"
#include "km7d/Service.h"
#include "platform/ProcessSecrets.h"

int main(int argc, char** argv) {
  // The mail and MQTT passwords and tokens live in this process.
  km7::KeepSecretsOutOfCoreDumps();
  if (argc >= 2 && std::strcmp(argv[1], "account") == 0)
    return km7d::AccountCommand(argc - 2, argv + 2, std::cin, std::cout, std::cerr);
  km7d::LoadResult loaded = km7d::LoadOptions(argc, argv);
  if (!loaded.errors.empty()) {
    for (const auto& e : loaded.errors) std::cerr << e.message << '\n';
    return 2;
  }
  switch (loaded.options.mode) {
    case km7d::Mode::Help:
      std::cout << km7d::HelpText();
      return 0;
    case km7d::Mode::Version:
      std::cout << "km7d " << KM7_VERSION << '\n';
      return 0;
    default:
      km7d::PrepareService(loaded.options, std::cerr);
      return km7d::RunMode(loaded);
  }
}

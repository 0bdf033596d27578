// Sets the environment a test program was declared with (KM7_TEST_ENV,
// "NAME=value;NAME=value") before main runs, without overriding what the
// caller set. CTest's test discovery cannot carry more than one variable.
#include <cstdlib>
#include <string>

namespace {

struct PresetEnvironment {
  PresetEnvironment() {
    const std::string all = KM7_TEST_ENV;
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find(';', start);
      if (end == std::string::npos) end = all.size();
      const std::string entry = all.substr(start, end - start);
      const size_t eq = entry.find('=');
      if (eq != std::string::npos && eq > 0) {
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 0);
      }
      start = end + 1;
    }
  }
};

const PresetEnvironment preset;

}  // namespace

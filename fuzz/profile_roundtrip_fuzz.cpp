// Writes a value into a settings file of arbitrary content and reads it back:
// the value reads back exactly (cut at the read limit), and another value of
// the file is the same before and after the write.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/PrivateProfile.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// A folder of this process, in memory where the system has one: the writer
// syncs every file it writes.
const std::string& ScratchFile() {
  static const std::string path = [] {
    std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return folder + "/km7-profile-fuzz-" + std::to_string(getpid()) + ".INI";
  }();
  return path;
}

// Splits the input at the first two 0x01 bytes: file text, name, value.
bool Split(std::string_view in, std::string_view& text, std::string_view& name, std::string_view& value) {
  const std::size_t a = in.find('\x01');
  if (a == std::string_view::npos) return false;
  const std::size_t b = in.find('\x01', a + 1);
  if (b == std::string_view::npos) return false;
  text = in.substr(0, a);
  name = in.substr(a + 1, b - a - 1);
  value = in.substr(b + 1);
  return true;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text, name, value;
  if (!Split(std::string_view(reinterpret_cast<const char*>(data), size), text, name, value)) return 0;
  const std::string section = "MyORVKM7Ap";
  const std::string other = "ORVKM7Other_Lab";
  {
    std::ofstream out(ScratchFile(), std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  km7::PrivateProfile ini(ScratchFile());

  // The stored form decodes to the value itself.
  Check(km7::PrivateProfile::DecodeValue(km7::PrivateProfile::EncodeValue(value)) == value);

  const auto otherBefore = ini.Find(section, other);
  const bool written = ini.WriteString(section, name, value);
  Check(written == km7::PrivateProfile::IsValidName(name));
  if (written) {
    std::string expected(value.substr(0, km7::PrivateProfile::kMaxValueLength));
    Check(ini.Find(section, name) == expected);
    // Names are trimmed of the same blanks as the store trims.
    constexpr std::string_view kBlanks = " \t\v\f\r\n";
    std::string_view trimmed = name;
    while (!trimmed.empty() && kBlanks.find(trimmed.front()) != std::string_view::npos) trimmed.remove_prefix(1);
    while (!trimmed.empty() && kBlanks.find(trimmed.back()) != std::string_view::npos) trimmed.remove_suffix(1);
    if (Upper(trimmed) != Upper(other)) Check(ini.Find(section, other) == otherBefore);
  }
  std::remove(ScratchFile().c_str());
  return 0;
}

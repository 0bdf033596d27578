#include "settings/ProfileStore.h"

#include <atomic>

#include <openssl/crypto.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/Text.h"
#include "platform/Reporter.h"
#include "platform/XdgPaths.h"

namespace km7::profile {

std::string EncodeLetterPairs(const unsigned char* bytes, std::size_t count) {
  std::string text;
  text.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    text += static_cast<char>('A' + (bytes[i] & 0x0F));
    text += static_cast<char>('A' + (bytes[i] >> 4));
  }
  return text;
}

std::vector<unsigned char> DecodeLetterPairs(std::string_view text) {
  std::vector<unsigned char> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    int low = static_cast<unsigned char>(text[2 * i]) - 65;
    int high = static_cast<unsigned char>(text[2 * i + 1]) - 65;
    bytes[i] = static_cast<unsigned char>((low + 16 * high) & 0xFF);
  }
  return bytes;
}

std::string FillMessage(std::string_view format, std::string_view first, std::string_view second) {
  std::string out;
  int filled = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && filled < 2) {
      out.append(filled++ == 0 ? first : second);
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

void ToUtf16Le(std::string_view cp1252, km7::SecretBytes& out) {
  std::string utf8 = km7::Cp1252ToUtf8(cp1252);
  std::vector<char16_t> units;
  units.reserve(utf8.size() + 1);
  for (std::size_t i = 0; i < utf8.size();) {
    // The conversion above yields only well-formed one- to three-byte forms.
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    if (c < 0x80) {
      cp = c;
      i += 1;
    } else if (c < 0xE0) {
      cp = (char32_t(c & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
      i += 2;
    } else {
      cp = (char32_t(c & 0x0F) << 12) | (char32_t(utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
      i += 3;
    }
    units.push_back(static_cast<char16_t>(cp));
  }
  units.push_back(0);
  out.Resize(units.size() * 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    out.Data()[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
    out.Data()[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
  }
  OPENSSL_cleanse(utf8.data(), utf8.size());
  if (!units.empty()) OPENSSL_cleanse(units.data(), units.size() * sizeof(char16_t));
}

std::string FromUtf16Le(const km7::SecretBytes& bytes) {
  std::string utf8;
  utf8.reserve(bytes.Size());
  const std::size_t count = bytes.Size() / 2;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t unit = bytes.Data()[2 * i] | (char32_t(bytes.Data()[2 * i + 1]) << 8);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
      char32_t next = bytes.Data()[2 * i + 2] | (char32_t(bytes.Data()[2 * i + 3]) << 8);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        km7::AppendUtf8(utf8, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;  // lone surrogate
    km7::AppendUtf8(utf8, unit);
  }
  std::string text = km7::Utf8ToCp1252(utf8);
  OPENSSL_cleanse(utf8.data(), utf8.size());
  return text;
}

}  // namespace km7::profile

namespace {

using km7::SecretBytes;
namespace profile = km7::profile;
using Problem = km7::PrivateProfile::Problem;

// Paths are file-system text; messages are Windows-1252.
std::string ShownPath(const std::string& path) { return km7::Utf8ToCp1252(path); }

std::string Reason(const km7::PrivateProfile::Status& status) {
  switch (status.problem) {
    case Problem::NotRegularFile: return profile::kReasonNotRegular;
    case Problem::Locked: return profile::kReasonLocked;
    case Problem::ForeignLink: return profile::kReasonForeignLink;
    default: return km7::Utf8ToCp1252(std::strerror(status.error != 0 ? status.error : EIO));
  }
}

int ParseLeadingInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

}  // namespace

ProfileStore::ProfileStore() : ProfileStore(DefaultFilePath()) {}

ProfileStore::ProfileStore(std::string filePath, km7::DataProtector protector)
    : file_(std::move(filePath)), protector_(std::move(protector)) {}

namespace {
std::string instanceFile;
std::atomic<bool> instanceMade{false};
}  // namespace

ProfileStore& ProfileStore::Instance() {
  static ProfileStore store = [] {
    instanceMade = true;
    return instanceFile.empty() ? ProfileStore() : ProfileStore(instanceFile);
  }();
  return store;
}

bool ProfileStore::SetInstanceFile(std::string filePath) {
  if (instanceMade) return false;
  instanceFile = std::move(filePath);
  return true;
}

std::string ProfileStore::DefaultFilePath() {
  std::string folder = km7::ConfigHome();
  // No home at all: the current folder is the only place left.
  return folder.empty() ? std::string(km7::profile::kFileName)
                        : folder + "/" + km7::profile::kFileName;
}

int ProfileStore::RemoveCrashLeftovers() const {
  int removed = km7::PrivateProfile::RemoveStaleTemporaries(FilePath());
  const std::string key = protector_.CheckKey().path;
  if (!key.empty()) removed += km7::PrivateProfile::RemoveStaleTemporaries(key);
  return removed;
}

std::string ProfileStore::StoredName(const std::string& name) const {
  const std::string old = NameBeforePercentEscape(name);
  if (old.empty() || file_.Find(km7::profile::kSection, name)) return name;
  return file_.Find(km7::profile::kSection, old) ? old : name;
}

std::optional<std::string> ProfileStore::Find(const std::string& name) const {
  km7::PrivateProfile::Status status;
  std::optional<std::string> text = file_.Find(km7::profile::kSection, StoredName(name), &status);
  NoteRead(status);
  return text;
}

void ProfileStore::NoteRead(const km7::PrivateProfile::Status& status) const {
  if (status.problem == Problem::None) {
    readFailing_ = false;
    return;
  }
  if (readFailing_) return;
  // Set first: the message box runs the timers, which read settings too.
  readFailing_ = true;
  if (status.problem == Problem::TooLarge)
    km7::Report(profile::FillMessage(profile::kMsgTooLarge, ShownPath(FilePath())));
  else
    km7::Report(
        profile::FillMessage(profile::kMsgCannotRead, ShownPath(FilePath()), Reason(status)));
}

bool ProfileStore::Write(const std::string& name, std::string_view text) {
  km7::PrivateProfile::Status status;
  if (file_.WriteString(km7::profile::kSection, name, text, &status)) {
    writeFailing_ = false;
    return true;
  }
  if (!writeFailing_) {
    writeFailing_ = true;
    if (status.problem == Problem::TooLarge)
      km7::Report(profile::FillMessage(profile::kMsgTooLarge, ShownPath(FilePath())));
    else
      km7::Report(
          profile::FillMessage(profile::kMsgCannotSave, ShownPath(FilePath()), Reason(status)));
  }
  return false;
}

void ProfileStore::NoteKeyFailure() const {
  const km7::DataProtector::KeyCheck check = protector_.CheckKey();
  using State = km7::DataProtector::KeyState;
  // A missing key is made on the next save; a blob it sealed is simply lost.
  if (check.state == State::Usable || check.state == State::Missing || keyFailing_) return;
  keyFailing_ = true;
  const std::string path = ShownPath(check.path);
  switch (check.state) {
    case State::NotPrivate:
      km7::Report(profile::FillMessage(profile::kMsgKeyNotPrivate, path, path));
      break;
    case State::NotOwned:
      km7::Report(
          profile::FillMessage(profile::kMsgKeyUnusable, path, profile::kReasonKeyNotOwned));
      break;
    case State::NotRegularFile:
      km7::Report(
          profile::FillMessage(profile::kMsgKeyUnusable, path, profile::kReasonNotRegular));
      break;
    case State::WrongSize:
      km7::Report(
          profile::FillMessage(profile::kMsgKeyUnusable, path, profile::kReasonKeyDamaged));
      break;
    default:
      km7::Report(
          profile::FillMessage(profile::kMsgKeyUnusable, path, profile::kReasonKeyUnreadable));
      break;
  }
}

int ProfileStore::ReadInt(const std::string& name, int defaultValue) const {
  std::optional<std::string> text = Find(name);
  if (!text || text->empty()) return defaultValue;
  return ParseLeadingInt(*text);
}

std::string ProfileStore::ReadText(const std::string& name, std::string_view defaultText) const {
  km7::PrivateProfile::Status status;
  std::string text = file_.GetString(km7::profile::kSection, StoredName(name), defaultText, &status);
  NoteRead(status);
  return text;
}

std::optional<std::vector<unsigned char>> ProfileStore::ReadBinary(const std::string& name) const {
  std::optional<std::string> text = Find(name);
  if (!text || text->empty()) return std::nullopt;
  return km7::profile::DecodeLetterPairs(*text);
}

bool ProfileStore::WriteInt(const std::string& name, int value) {
  return Write(name, std::to_string(value));
}

bool ProfileStore::WriteText(const std::string& name, std::string_view text) {
  return Write(name, text);
}

bool ProfileStore::WriteBinary(const std::string& name, const unsigned char* bytes,
                               std::size_t count) {
  if (bytes == nullptr && count != 0) return false;
  return Write(name, km7::profile::EncodeLetterPairs(bytes, count));
}

bool ProfileStore::WriteProtectedText(const std::string& name, std::string_view text) {
  SecretBytes plain;
  profile::ToUtf16Le(text, plain);
  // A blob too long for one read could never be opened again.
  if (2 * (km7::DataProtector::kOverhead + plain.Size()) > km7::PrivateProfile::kMaxValueLength)
    return false;
  std::vector<unsigned char> blob;
  if (!protector_.Protect(plain.Data(), plain.Size(), blob)) {
    NoteKeyFailure();
    return false;
  }
  keyFailing_ = false;
  return WriteBinary(name, blob.data(), blob.size());
}

bool ProfileStore::ReadProtectedText(const std::string& name, std::string& text) const {
  std::optional<std::vector<unsigned char>> blob = ReadBinary(name);
  if (!blob) return false;
  SecretBytes plain;
  if (!protector_.Unprotect(blob->data(), blob->size(), plain)) {
    NoteKeyFailure();
    return false;
  }
  keyFailing_ = false;
  std::string decoded = profile::FromUtf16Le(plain);
  text.swap(decoded);
  OPENSSL_cleanse(decoded.data(), decoded.size());
  return true;
}

int ProfileStore::ReadInt(const km7::profile::Value& value, std::string_view suffix) const {
  return ReadInt(ValueName(value.pattern, suffix), value.defaultInt);
}

std::string ProfileStore::ReadText(const km7::profile::Value& value,
                                   std::string_view suffix) const {
  return ReadText(ValueName(value.pattern, suffix),
                  value.defaultText != nullptr ? value.defaultText : "");
}

bool ProfileStore::WriteInt(const km7::profile::Value& value, std::string_view suffix,
                            int number) {
  return WriteInt(ValueName(value.pattern, suffix), number);
}

bool ProfileStore::WriteText(const km7::profile::Value& value, std::string_view suffix,
                             std::string_view text) {
  return WriteText(ValueName(value.pattern, suffix), text);
}

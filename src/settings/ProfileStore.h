#pragma once
// The per-sensor settings store: every setting that outlives the program, in
// section "MyORVKM7Ap" of the settings file km7.INI (in $XDG_CONFIG_HOME, else
// ~/.config). Nothing is cached: every read reads the file and every write
// goes to it at once. Value names are patterns such as
// "ORVKM7LogFilePath_%s" whose "%s" is the sensor's name or the fixed suffix
// "Computer Room"; names are matched without regard to letter case.
//
// Text is Windows-1252 bytes, stored in the file as it is.
//
// A file that cannot be read, a write that is refused and a protection key
// that cannot be used are told to the user through the installed problem
// reporter (platform/Reporter.h), once per run of failures: the next
// success of the same kind ends the run.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DataProtection.h"
#include "platform/PrivateProfile.h"

namespace km7::profile {

inline constexpr char kSection[] = "MyORVKM7Ap";
inline constexpr char kFileName[] = "km7.INI";
// The suffix of the values shared by every module.
inline constexpr char kFixedSuffix[] = "Computer Room";

enum class Kind { Integer, Text, Binary };
// What replaces "%s": the sensor's name, "Computer Room", or either
// depending on the caller.
enum class Suffix { Sensor, Fixed, Both };

// One stored value. Where readers pass different defaults, each is here:
//   defaultText      the setup dialog's (and every other reader's) default;
//   dispatchDefault  the alarm dispatch's default, nullptr when the same;
//   seedDefault      the placeholder the setup dialog's OK compares the other
//                    alarm kind's value with (case ignored) before seeding
//                    it; nullptr for values that are not seeded.
// For "ORVKM7EmailTempFrom_%s" the dispatch connects with defaultText and
// composes with dispatchDefault.
struct Value {
  const char* pattern;
  Kind kind;
  Suffix suffix;
  int defaultInt;
  const char* defaultText;
  const char* dispatchDefault;
  const char* seedDefault;
};

inline constexpr char kNoEntry[] = "No entry made...";
inline constexpr char kDispatchAddress[] = "Enter email address or name here.";
inline constexpr char kToPlaceholder[] = "Enter email recipient's address here (one address).";
inline constexpr char kCcPlaceholder[] = "Enter CC addresses here (comma-delimited list).";
inline constexpr char kFromPlaceholder[] = "Enter your email address or name here.";
inline constexpr char kBodyPlaceholder[] = "Enter additional message here";
inline constexpr char kSubjectPlaceholder[] = "Enter email subject here.";
inline constexpr char kDefaultServer[] = "smtp.example.com";

// clang-format off
inline constexpr Value Device            {"ORVKM7Device_%s",            Kind::Text,    Suffix::Fixed,  0, "NoDevicePresent", nullptr, nullptr};
inline constexpr Value CFmode            {"ORVKM7CFmode_%s",            Kind::Integer, Suffix::Both,   1, nullptr, nullptr, nullptr};
inline constexpr Value Logging           {"ORVKM7Logging_%s",           Kind::Integer, Suffix::Fixed,  0, nullptr, nullptr, nullptr};
inline constexpr Value LogFilePath       {"ORVKM7LogFilePath_%s",       Kind::Text,    Suffix::Sensor, 0, " ", nullptr, nullptr};
inline constexpr Value LoggingInterval   {"ORVKM7LoggingInterval_%s",   Kind::Integer, Suffix::Sensor, 1, nullptr, nullptr, nullptr};
inline constexpr Value TempEmailOnOff    {"ORVKM7TempEmailOnOff_%s",    Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value HumEmailOnOff     {"ORVKM7HumEmailOnOff_%s",     Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value ChartTimeScale    {"ORVKM7ChartTimeScale_%s",    Kind::Integer, Suffix::Fixed,  0, nullptr, nullptr, nullptr};
inline constexpr Value ChartTempScale    {"ORVKM7ChartTempScale_%s",    Kind::Integer, Suffix::Fixed,  0, nullptr, nullptr, nullptr};
inline constexpr Value ChartDewPoint     {"ORVKM7ChartDewPoint_%s",     Kind::Integer, Suffix::Fixed,  0, nullptr, nullptr, nullptr};
inline constexpr Value ServerName        {"ORVKM7ServerName_%s",        Kind::Text,    Suffix::Sensor, 0, kDefaultServer, nullptr, nullptr};
inline constexpr Value PortNumber        {"ORVKM7PortNumber_%s",        Kind::Integer, Suffix::Sensor, 25, nullptr, nullptr, nullptr};
inline constexpr Value Authenticate      {"ORVKM7Authenticate_%s",      Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
// 0 none, 1 STARTTLS, 2 TLS from the first byte; absent: none, as before.
inline constexpr Value MailSecurity      {"ORVKM7MailSecurity_%s",      Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
// The OAuth 2.0 account file (see smtp/OAuthAccount.h) an "OAuth 2.0" login
// takes its access token from; empty: the default place for the user name.
inline constexpr Value OAuth2Account     {"ORVKM7OAuth2Account_%s",     Kind::Text,    Suffix::Sensor, 0, "", nullptr, nullptr};
inline constexpr Value UsernameE         {"ORVKM7UsernameE_%s",         Kind::Binary,  Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value PasswordE         {"ORVKM7PasswordE_%s",         Kind::Binary,  Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value EmailTempAbove    {"ORVKM7EmailTempAbove_%s",    Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value EmailTempBelow    {"ORVKM7EmailTempBelow_%s",    Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value EmailTempAboveTemp{"ORVKM7EmailTempAboveTemp_%s",Kind::Text,    Suffix::Sensor, 0, "--", nullptr, nullptr};
inline constexpr Value EmailTempBelowTemp{"ORVKM7EmailTempBelowTemp_%s",Kind::Text,    Suffix::Sensor, 0, "--", nullptr, nullptr};
inline constexpr Value EmailTempTo       {"ORVKM7EmailTempTo_%s",       Kind::Text,    Suffix::Sensor, 0, kToPlaceholder, kDispatchAddress, kToPlaceholder};
// The dispatch spells it "ORVKM7EmailTempCc_%s": the same value.
inline constexpr Value EmailTempCC       {"ORVKM7EmailTempCC_%s",       Kind::Text,    Suffix::Sensor, 0, kCcPlaceholder, kDispatchAddress, kCcPlaceholder};
inline constexpr Value EmailTempFrom     {"ORVKM7EmailTempFrom_%s",     Kind::Text,    Suffix::Sensor, 0, kFromPlaceholder, kNoEntry, kFromPlaceholder};
inline constexpr Value EmailTempSubject  {"ORVKM7EmailTempSubject_%s",  Kind::Text,    Suffix::Sensor, 0, kSubjectPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailTempBodyL2   {"ORVKM7EmailTempBodyL2_%s",   Kind::Text,    Suffix::Sensor, 0, kBodyPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailTempBodyL3   {"ORVKM7EmailTempBodyL3_%s",   Kind::Text,    Suffix::Sensor, 0, kBodyPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailTempBodyL4   {"ORVKM7EmailTempBodyL4_%s",   Kind::Text,    Suffix::Sensor, 0, kBodyPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailHumAbove     {"ORVKM7EmailHumAbove_%s",     Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value EmailHumBelow     {"ORVKM7EmailHumBelow_%s",     Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value EmailHumAboveTemp {"ORVKM7EmailHumAboveTemp_%s", Kind::Text,    Suffix::Sensor, 0, "--", nullptr, nullptr};
inline constexpr Value EmailHumBelowTemp {"ORVKM7EmailHumBelowTemp_%s", Kind::Text,    Suffix::Sensor, 0, "--", nullptr, nullptr};
inline constexpr Value EmailHumTo        {"ORVKM7EmailHumTo_%s",        Kind::Text,    Suffix::Sensor, 0, "Enter email recipient's address here.", nullptr, kToPlaceholder};
inline constexpr Value EmailHumCC        {"ORVKM7EmailHumCC_%s",        Kind::Text,    Suffix::Sensor, 0, "Enter email message CC address here.", nullptr, kCcPlaceholder};
inline constexpr Value EmailHumFrom      {"ORVKM7EmailHumFrom_%s",      Kind::Text,    Suffix::Sensor, 0, kFromPlaceholder, kNoEntry, kFromPlaceholder};
inline constexpr Value EmailHumSubject   {"ORVKM7EmailHumSubject_%s",   Kind::Text,    Suffix::Sensor, 0, kSubjectPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailHumBodyL2    {"ORVKM7EmailHumBodyL2_%s",    Kind::Text,    Suffix::Sensor, 0, kBodyPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailHumBodyL3    {"ORVKM7EmailHumBodyL3_%s",    Kind::Text,    Suffix::Sensor, 0, kBodyPlaceholder, kNoEntry, nullptr};
inline constexpr Value EmailHumBodyL4    {"ORVKM7EmailHumBodyL4_%s",    Kind::Text,    Suffix::Sensor, 0, kBodyPlaceholder, kNoEntry, nullptr};
// The alarm rules, each off by default.
inline constexpr Value SensorLostOnOff   {"ORVKM7SensorLostOnOff_%s",   Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value SensorLostSeconds {"ORVKM7SensorLostSeconds_%s", Kind::Integer, Suffix::Sensor, 120, nullptr, nullptr, nullptr};
inline constexpr Value BackToNormalOnOff {"ORVKM7BackToNormalOnOff_%s", Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value RepeatMinutes     {"ORVKM7RepeatMinutes_%s",     Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
inline constexpr Value MinGapMinutes     {"ORVKM7MinGapMinutes_%s",     Kind::Integer, Suffix::Sensor, 0, nullptr, nullptr, nullptr};
// clang-format on

// Every value the program stores.
inline constexpr const Value* kAllValues[] = {
    &Device,          &CFmode,           &Logging,           &LogFilePath,
    &LoggingInterval, &TempEmailOnOff,   &HumEmailOnOff,     &ChartTimeScale,
    &ChartTempScale,  &ChartDewPoint,    &ServerName,        &PortNumber,
    &Authenticate,    &UsernameE,        &PasswordE,         &EmailTempAbove,
    &EmailTempBelow,  &EmailTempAboveTemp, &EmailTempBelowTemp, &EmailTempTo,
    &EmailTempCC,     &EmailTempFrom,    &EmailTempSubject,  &EmailTempBodyL2,
    &EmailTempBodyL3, &EmailTempBodyL4,  &EmailHumAbove,     &EmailHumBelow,
    &EmailHumAboveTemp, &EmailHumBelowTemp, &EmailHumTo,     &EmailHumCC,
    &EmailHumFrom,    &EmailHumSubject,  &EmailHumBodyL2,    &EmailHumBodyL3,
    &EmailHumBodyL4,  &MailSecurity,     &SensorLostOnOff,   &SensorLostSeconds,
    &BackToNormalOnOff, &RepeatMinutes,  &MinGapMinutes,     &OAuth2Account,
};

// Letter-pair form of a byte string: per byte 'A' + low four bits, then
// 'A' + high four bits (0x3C is "MD").
std::string EncodeLetterPairs(const unsigned char* bytes, std::size_t count);
// Pair by pair back to bytes; an odd last letter is ignored.
std::vector<unsigned char> DecodeLetterPairs(std::string_view text);

// Windows-1252 text to UTF-16LE bytes with a terminating zero: the form a
// protected value is sealed in.
void ToUtf16Le(std::string_view cp1252, km7::SecretBytes& out);
// A zero-terminated UTF-16LE text (the terminator may be missing; an odd last
// byte is ignored) to Windows-1252; what the code page cannot hold becomes '?'.
std::string FromUtf16Le(const km7::SecretBytes& bytes);

// What the user is told when the settings file or the protection key fails.
// "%s" is the file's path; the second "%s", where there is one, the reason.
inline constexpr char kMsgCannotRead[] =
    "The settings file %s could not be read (%s). km7 uses the default settings until it can be "
    "read.";
inline constexpr char kMsgTooLarge[] =
    "The settings file %s is larger than 16 MB. km7 reads only its first 16 MB and saves nothing "
    "to it until it is made smaller or moved away.";
inline constexpr char kMsgCannotSave[] =
    "The settings could not be saved in %s (%s). Until this is mended, settings changed now are "
    "lost when km7 ends.";
inline constexpr char kMsgKeyNotPrivate[] =
    "The key file %s that protects the stored mail account may be read by other users, so km7 "
    "does not use it: the stored account can be neither read nor saved. Make the file private "
    "with the command\n\nchmod 600 '%s'";
inline constexpr char kMsgKeyUnusable[] =
    "The key file %s that protects the stored mail account cannot be used (%s): the stored "
    "account can be neither read nor saved. Move the file away and enter the account again.";
inline constexpr char kReasonNotRegular[] = "it is not a regular file";
inline constexpr char kReasonLocked[] = "another program kept it locked";
inline constexpr char kReasonForeignLink[] =
    "it is a symbolic link to a file that belongs to another user, which km7 does not follow";
inline constexpr char kReasonKeyNotOwned[] = "it belongs to another user";
inline constexpr char kReasonKeyDamaged[] = "it is damaged";
inline constexpr char kReasonKeyUnreadable[] = "it cannot be read";

// A message with its "%s" filled in order (never read as a format).
std::string FillMessage(std::string_view format, std::string_view first,
                        std::string_view second = {});

}  // namespace km7::profile

class ProfileStore {
 public:
  // The settings file of the program: km7.INI in the user's config folder,
  // fixed at construction; data protection for the current user.
  ProfileStore();
  // Another file (tests, tools) and, optionally, another protection identity.
  explicit ProfileStore(std::string filePath, km7::DataProtector protector = {});

  // The one program-wide store.
  static ProfileStore& Instance();
  // Points the program-wide store at another file (a service's own settings
  // file). Only before the store's first use: false afterwards, and nothing
  // changes.
  static bool SetInstanceFile(std::string filePath);

  // The default file: km7.INI in $XDG_CONFIG_HOME, else ~/.config.
  static std::string DefaultFilePath();

  const std::string& FilePath() const { return file_.Path(); }

  // At start-up: removes the temporary files that a crash while saving left
  // beside the settings file and the protection key (only those more than a
  // minute old, of exactly our pattern). Returns how many were removed.
  int RemoveCrashLeftovers() const;

  // The pattern with its first "%s" replaced by the suffix ("%%" gives "%").
  // The suffix is inserted as it is, never read as a format, except for the
  // characters escaped by EscapedSuffix.
  static std::string ValueName(std::string_view pattern, std::string_view suffix);
  // "=" and control characters cannot stand in a value's name (the file
  // separates name and value with "=", and a line ends at a line break).
  static bool CannotHoldInName(char c);
  // Those, and "%" itself, are written "%" and two hex digits: "Lab=2" gives
  // "Lab%3D2", a module really named "Lab%3D2" gives "Lab%253D2", so the two
  // never share settings. Every other character stays as it is.
  static bool NeedsEscape(char c);
  static std::string EscapedSuffix(std::string_view suffix);
  // Names were once written with "%" left as it is. For a name holding
  // "%25", the name as it was written then, when only this name can have
  // written it ("50% RH": "50%25 RH" was "50% RH"); empty when there is no
  // such name or when another name may have written it ("Lab%253D2" was
  // "Lab%3D2", which "Lab=2" writes as well). Reads fall back to it while
  // the name itself is absent; writes always go to the name itself.
  static std::string NameBeforePercentEscape(std::string_view name);

  // The decimal number at the start of the value (blanks, a sign, digits;
  // 0 when there are no digits; clamped to the 32-bit range); the default
  // when the value is absent or empty.
  int ReadInt(const std::string& name, int defaultValue) const;
  // At most 4095 characters; the default without trailing blanks when absent.
  std::string ReadText(const std::string& name, std::string_view defaultText) const;
  // The decoded bytes; nullopt when the value is absent or empty.
  std::optional<std::vector<unsigned char>> ReadBinary(const std::string& name) const;

  // True when the file took the value. A refused write leaves the old value.
  bool WriteInt(const std::string& name, int value);
  bool WriteText(const std::string& name, std::string_view text);
  bool WriteBinary(const std::string& name, const unsigned char* bytes, std::size_t count);

  // Protects the text (as UTF-16LE with its terminating zero) for the current
  // user and stores the blob as a binary value. When protection fails, or the
  // stored form would not fit a 4095-character read, nothing is written.
  bool WriteProtectedText(const std::string& name, std::string_view text);
  // Overwrites `text` only when the value is present and opens for this user
  // on this machine; returns whether it did.
  bool ReadProtectedText(const std::string& name, std::string& text) const;

  // Table forms: the name from the value's pattern and the suffix, the
  // default from the table (defaultInt, or defaultText).
  int ReadInt(const km7::profile::Value& value, std::string_view suffix) const;
  std::string ReadText(const km7::profile::Value& value, std::string_view suffix) const;
  bool WriteInt(const km7::profile::Value& value, std::string_view suffix, int number);
  bool WriteText(const km7::profile::Value& value, std::string_view suffix, std::string_view text);

 private:
  std::optional<std::string> Find(const std::string& name) const;
  // The name to read: the name itself, or the one it had before "%" was
  // escaped, where only that one is in the file.
  std::string StoredName(const std::string& name) const;
  bool Write(const std::string& name, std::string_view text);
  void NoteRead(const km7::PrivateProfile::Status& status) const;
  void NoteKeyFailure() const;

  km7::PrivateProfile file_;
  km7::DataProtector protector_;
  // Inside a run of failures whose message was shown.
  mutable bool readFailing_ = false;
  bool writeFailing_ = false;
  mutable bool keyFailing_ = false;
};

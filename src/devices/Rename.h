#pragma once
// The rename dialog: shows the sensor's current name and takes a new one.
#include <string>
#include <string_view>

#include "ui/Dialog.h"

namespace km7 {
inline constexpr int kRenameTemplateId = 130;
inline constexpr int IDC_NEW_NAME = 1001;
inline constexpr int IDC_CURRENT_NAME = 1003;
inline constexpr std::size_t kMinNameLength = 2;
ui::DialogTemplate RenameTemplate();

// What the user is told about a name the settings file cannot use as it is.
// "%s" is the character named ("=", "the control character 0x09"), then, for
// kMsgNameStoredEscaped, the name and the form its settings are stored under.
// A name the settings file cannot hold as it is still works (the module may
// have been named elsewhere): its settings go under an escaped form. A new
// name is refused all the same, so that what the user types is what the file
// says; both messages give the same reason.
inline constexpr char kMsgNameBadCharacter[] =
    "A sensor's name cannot contain %s, which the settings file cannot hold in a setting's name: "
    "km7 would store that sensor's settings under another name. Please choose another name.";
inline constexpr char kMsgNameAllBlank[] =
    "A sensor's name cannot consist of blanks only. Please choose another name.";
inline constexpr char kMsgNameStoredEscaped[] =
    "This sensor's name contains %s, which the settings file cannot hold in a setting's name. "
    "The settings of \"%s\" are stored under \"%s\" instead. Rename the sensor to avoid this.";

// The first character of the name the settings file cannot take, described
// for a message ("\"=\"", "the control character 0x09"); empty when none.
std::string BadNameCharacter(std::string_view name);
// The message that refuses the name, or empty when the name can be used.
std::string RenameRefusal(std::string_view name);
// The notice for a module that already carries such a name, the first time
// in this run it is opened under that name; empty otherwise.
std::string EscapedNameNoticeOnce(const std::string& name);
}  // namespace km7

class CRename : public km7::ui::CDialog {
 public:
  // sensorName: the open sensor's; it takes the new name on OK.
  explicit CRename(std::string& sensorName, km7::ui::CDialog* owner = nullptr);

  // Shows the sensor's name as the current name.
  bool OnInitDialog() override;
  void DoDataExchange(km7::ui::CDataExchange& dx) override;
  // Refuses a name shorter than two characters, or one the settings file
  // cannot take (the dialog stays open); otherwise makes it the sensor's
  // name and closes with OK.
  void OnOK() override;

  std::string currentName;
  std::string newName;

 private:
  std::string& sensorName_;
};

#pragma once
// Dialog templates: a window described as data, in dialog units, the way the
// program's dialogs are specified. CDialog (Dialog.h) builds the widgets.
//
// Texts are Windows-1252 bytes. Write the degree sign as "\xB0" and end the
// literal there: "\xB0" "C", because "\xB0C" would be one hexadecimal escape.
#include <cstdint>
#include <string>
#include <vector>

namespace km7::ui {

// Command ids the framework itself knows.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;  // labels nobody looks up

enum class Kind {
  PushButton,
  CheckBox,     // automatic: a click toggles it
  RadioButton,  // automatic: a click checks it and clears the others of its group
  Edit,
  Static,       // text label
  GroupBox,     // a titled frame drawn behind the controls it surrounds
  ListBox,
  ComboBox,     // editable drop-down unless kDropDownList
  Icon,         // picture: the text names an icon given to RegisterIcon()
};

// Control flags, combined with |.
enum ControlFlag : std::uint32_t {
  kDefault = 1u << 0,       // push button: the default button, takes the Enter key
  kGroup = 1u << 1,         // radio button: starts a new group
  kReadOnly = 1u << 2,      // edit
  kPassword = 1u << 3,      // edit: shows dots
  kNumber = 1u << 4,        // edit: accepts digits only
  kMultiLine = 1u << 5,     // edit: several lines; push button: words wrap
  kCenter = 1u << 6,        // static, edit: centred text
  kRight = 1u << 7,         // static, edit: right-aligned text
  kHidden = 1u << 8,        // created hidden
  kDisabled = 1u << 9,      // created disabled
  kNoBorder = 1u << 10,     // edit: no frame
  kNoHScroll = 1u << 11,    // edit: accepts only as much text as fits its width
  kSorted = 1u << 12,       // list box, combo box: keeps its lines sorted
  kDropDownList = 1u << 13, // combo box: choose only, no typing
  kNoWrap = 1u << 14,       // static: one line, no word wrap
};

// Dialog styles, combined with |.
enum DialogStyle : std::uint32_t {
  kCaption = 1u << 0,      // title bar
  kSysMenu = 1u << 1,      // close box in the title bar
  kMinimizeBox = 1u << 2,
  kSizing = 1u << 3,       // resizable frame
  kCentered = 1u << 4,     // centred over the owner (or the screen); else at x, y
  kInvisible = 1u << 5,    // a modeless Create() leaves it hidden
};

struct ControlTemplate {
  int id = IDC_STATIC;
  Kind kind = Kind::Static;
  std::string text;  // Windows-1252
  int x = 0, y = 0, w = 0, h = 0;  // dialog units
  std::uint32_t flags = 0;
};

struct DialogTemplate {
  std::string caption;  // Windows-1252
  int x = 0, y = 0;     // dialog units from the owner's client origin (without kCentered)
  int width = 0, height = 0;  // client area, dialog units
  std::string font = "MS Sans Serif";
  int pointSize = 8;
  std::uint32_t style = kCaption | kSysMenu | kCentered;
  std::vector<ControlTemplate> controls = {};  // in tab order; radio groups run in this order
};

}  // namespace km7::ui

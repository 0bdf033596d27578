#pragma once
// CDialog: a window built from a DialogTemplate. Controls are found by id;
// members are copied to and from the controls by DoDataExchange ("save" and
// "load"); a message table maps control notifications to handlers; window
// timers are kept by id. Texts are Windows-1252 bytes throughout.
//
// Nothing here touches Qt before Create() or DoModal(), so dialog objects may
// be constructed before the application object exists.
#include <QIcon>
#include <QPointer>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/DialogUnits.h"
#include "ui/Template.h"

class QPainter;

namespace km7::ui {

class CDialog;
class DialogWindow;

// Control notifications a message table can map.
enum class Notify {
  Clicked,      // push button, check box or radio button clicked by the user
  EditChange,   // an edit's text changed, also by the program; an editable combo box's by typing
  SelChange,    // list or combo box selection changed by the user
  DoubleClick,  // list box line double-clicked
};

// One exchange, in one direction. Handed to DoDataExchange.
class CDataExchange {
 public:
  CDataExchange(CDialog& dialog, bool save) : dialog_(dialog), save_(save) {}
  CDialog& Dialog() const { return dialog_; }
  bool Saving() const { return save_; }  // controls -> members
  bool Failed() const { return failed_; }
  // A control holds something its member cannot take: show the message, put
  // the focus on the control and abandon the exchange.
  void Fail(int id, const std::string& message);

 private:
  CDialog& dialog_;
  bool save_;
  bool failed_ = false;
};

// Bindings for DoDataExchange. After a failure the remaining calls do nothing.
void DDX_Text(CDataExchange& dx, int id, std::string& value);
void DDX_Text(CDataExchange& dx, int id, int& value);     // "Please enter an integer."
void DDX_Text(CDataExchange& dx, int id, double& value);  // "Please enter a number."
void DDX_Check(CDataExchange& dx, int id, int& value);    // 0 clear, 1 checked
// Index of the checked button in the radio group that control id belongs to,
// -1 when none is checked.
void DDX_Radio(CDataExchange& dx, int firstId, int& value);
void DDX_LBIndex(CDataExchange& dx, int id, int& index);  // -1: no selection
void DDX_LBString(CDataExchange& dx, int id, std::string& value);
void DDX_CBIndex(CDataExchange& dx, int id, int& index);
void DDX_CBString(CDataExchange& dx, int id, std::string& value);

template <class D>
struct MessageEntry {
  Notify code;
  int id;
  void (D::*handler)();
};

class CDialog {
 public:
  explicit CDialog(DialogTemplate dialogTemplate, CDialog* owner = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // ---- lifecycle
  // Builds the window, runs OnInitDialog and waits until EndDialog. Returns
  // the EndDialog result (IDOK, IDCANCEL, ...), -1 when already running.
  int DoModal();
  // Modeless: builds the window, runs OnInitDialog and shows it (unless the
  // template has kInvisible). An owner given here replaces the constructor's.
  bool Create(CDialog* owner = nullptr);
  // Ends a modal run with result; a modeless window is only hidden.
  void EndDialog(int result);
  // Destroys the window (safe from inside the window's own handlers). The
  // CDialog object stays and may be created again.
  void DestroyWindow();
  bool IsWindow() const;
  bool IsModal() const { return modal_; }
  int Result() const { return result_; }
  CDialog* Owner() const { return owner_; }
  const DialogTemplate& Template() const { return template_; }

  // ---- overridables (public so tests can call them directly)
  // Default: loads the members into the controls. Return true.
  virtual bool OnInitDialog();
  virtual void DoDataExchange(CDataExchange& dx);
  // Default: save; on success EndDialog(IDOK).
  virtual void OnOK();
  // Default: EndDialog(IDCANCEL).
  virtual void OnCancel();
  // Close box: default sends IDCANCEL unless a Cancel button exists and is disabled.
  virtual void OnClose();
  virtual void OnTimer(int id);
  // Custom drawing of the client area, under the controls. Coordinates are
  // client pixels.
  virtual void OnPaint(QPainter& painter);
  virtual void OnMouseMove(int x, int y);
  virtual void OnSize(int clientWidth, int clientHeight);
  // A command of the window menu (see AppendSystemMenu).
  virtual void OnSysCommand(int command);

  // Saving (true): controls -> members; loading (false): members -> controls.
  // Returns false when a control held something its member cannot take.
  bool UpdateData(bool save = true);

  // ---- message table
  void Bind(Notify code, int id, std::function<void()> handler);
  void BindRange(Notify code, int firstId, int lastId, std::function<void(int id)> handler);
  template <class D>
  void On(Notify code, int id, void (D::*handler)()) {
    D* self = static_cast<D*>(this);
    Bind(code, id, [self, handler] { (self->*handler)(); });
  }
  template <class D>
  void SetMessageTable(std::initializer_list<MessageEntry<D>> table) {
    for (const auto& e : table) On<D>(e.code, e.id, e.handler);
  }
  // Runs the handler the table holds for (code, id); clicks of IDOK and
  // IDCANCEL without one go to OnOK / OnCancel. Returns whether anything ran.
  bool SendNotify(int id, Notify code = Notify::Clicked);

  // ---- window timers by id (SetTimer again with the same id restarts it)
  bool SetTimer(int id, int milliseconds);
  bool KillTimer(int id);
  bool HasTimer(int id) const;

  // ---- the window
  QWidget* Widget() const;
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  void SetIcon(const QIcon& icon);
  QIcon Icon() const { return icon_; }
  void ShowWindow(bool show = true);
  bool IsWindowVisible() const;
  // Adds an item to the window menu, opened by a right click on the window
  // (the title-bar menu's stand-in). An empty text adds a separator.
  void AppendSystemMenu(int command, const std::string& text);
  const std::vector<std::pair<int, std::string>>& SystemMenu() const { return sysMenu_; }
  QRect GetClientRect() const;       // (0, 0, width, height)
  QRect GetWindowRect() const;       // outer frame, screen pixels
  void MoveWindow(const QRect& outer);  // outer frame, screen pixels
  void SetWindowSize(int outerWidth, int outerHeight);
  void Invalidate();                    // repaint the client area soon
  void InvalidateRect(const QRect& r);  // repaint part of it soon
  void UpdateWindow();                  // repaint now
  BaseUnits Units() const { return units_; }
  const QFont& Font() const { return font_; }  // the template's font, once created
  QRect MapDialogRect(int x, int y, int w, int h) const;
  // Writes the client area with its controls to a PNG file.
  bool Grab(const std::filesystem::path& pngPath) const;

  // ---- controls by id (no-ops / empty results for unknown ids)
  QWidget* GetDlgItem(int id) const;
  bool HasItem(int id) const { return GetDlgItem(id) != nullptr; }
  std::string GetDlgItemText(int id) const;
  void SetDlgItemText(int id, const std::string& text);
  int GetDlgItemInt(int id, bool* ok = nullptr) const;
  void SetDlgItemInt(int id, int value);
  int IsDlgButtonChecked(int id) const;
  void CheckDlgButton(int id, int checked);
  // Checks checkId and clears the other radio buttons with ids first..last.
  void CheckRadioButton(int firstId, int lastId, int checkId);
  void EnableItem(int id, bool enable = true);
  bool IsItemEnabled(int id) const;
  void ShowItem(int id, bool show = true);
  bool IsItemVisible(int id) const;  // its own visibility, whether or not the window shows
  void SetItemReadOnly(int id, bool readOnly);
  void SetDlgItemIcon(int id, const QIcon& icon);
  void GotoDlgCtrl(int id);  // focus; an edit's text is selected
  int DefaultId() const { return defaultId_; }
  void SetDefaultId(int id) { defaultId_ = id; }

  // List boxes. Indexes from 0; -1 means none / failure.
  int ListAddString(int id, const std::string& text);  // sorted lists insert in order
  int ListInsertString(int id, int index, const std::string& text);
  int ListDeleteString(int id, int index);
  void ListResetContent(int id);
  int ListGetCount(int id) const;
  int ListGetCurSel(int id) const;
  bool ListSetCurSel(int id, int index);
  std::string ListGetText(int id, int index) const;
  int ListFindStringExact(int id, const std::string& text) const;  // ignoring case

  // Combo boxes.
  int ComboAddString(int id, const std::string& text);
  void ComboResetContent(int id);
  int ComboGetCount(int id) const;
  int ComboGetCurSel(int id) const;
  bool ComboSetCurSel(int id, int index);  // -1 clears the selection
  std::string ComboGetLBText(int id, int index) const;
  bool ComboSetItemData(int id, int index, std::intptr_t data);
  std::intptr_t ComboGetItemData(int id, int index) const;  // 0 for a bad index

 private:
  friend class DialogWindow;
  friend class DialogDriver;  // tests act as the user would (ui/DialogDriver.h)
  friend void DDX_Radio(CDataExchange& dx, int firstId, int& value);
  struct Control;
  struct Binding {
    Notify code;
    int first, last;
    std::function<void(int)> handler;
  };

  bool Build(bool modal);
  void BuildControl(const ControlTemplate& t);
  void FitControls();
  void PlaceWindow();
  bool InitAndShow();
  // The first control that takes Tab gets the focus, unless OnInitDialog put
  // it elsewhere; an edit's text is then selected.
  void SetInitialFocus();
  void HandleEnterKey();
  void HandleTimerEvent(int qtTimerId);
  void HandleContextMenu(const QPoint& globalPos);
  void Dispatch(int id, Notify code);
  Control* Find(int id);
  const Control* Find(int id) const;
  int RadioGroupOf(int id) const;
  void SetRadioChecked(int group, int indexInGroup);
  void UpdateReadOnlyLook(Control& c);

  DialogTemplate template_;
  CDialog* owner_;
  QPointer<DialogWindow> window_;
  std::vector<std::unique_ptr<Control>> controls_;
  std::vector<std::vector<Control*>> radioGroups_;
  std::vector<Binding> bindings_;
  struct TimerSlot {
    int qtId;
    int milliseconds;
  };
  std::map<int, TimerSlot> timers_;  // by our id
  std::vector<std::pair<int, std::string>> sysMenu_;
  QIcon icon_;
  QFont font_;
  BaseUnits units_;
  int defaultId_ = 0;
  int result_ = -1;
  int suppressNotify_ = 0;
  bool modal_ = false;
  bool ended_ = false;
  bool initialised_ = false;
};

// Icons by name, for Kind::Icon controls (their text) and for the program.
void RegisterIcon(const std::string& name, const QIcon& icon);
QIcon LookupIcon(const std::string& name);

// Test seam for modal runs. While a hook is set, DoModal builds and shows the
// dialog, runs OnInitDialog and then calls the hook instead of waiting for a
// person. The hook drives the dialog (SetDlgItemText, or DialogDriver's
// PressButton, ...); when
// it returns, DoModal returns the EndDialog result, or, when the dialog was
// not ended, the hook's return value (the window is then closed without
// OnOK / OnCancel). Nested modal runs call the hook again.
using ModalHook = std::function<int(CDialog&)>;
void SetModalHook(ModalHook hook);

class ScopedModalHook {
 public:
  explicit ScopedModalHook(ModalHook hook) { SetModalHook(std::move(hook)); }
  ~ScopedModalHook() { SetModalHook(nullptr); }
  ScopedModalHook(const ScopedModalHook&) = delete;
  ScopedModalHook& operator=(const ScopedModalHook&) = delete;
};

// The busy cursor for the length of a blocking action (a connection test).
class ScopedWaitCursor {
 public:
  ScopedWaitCursor();
  ~ScopedWaitCursor();
  ScopedWaitCursor(const ScopedWaitCursor&) = delete;
  ScopedWaitCursor& operator=(const ScopedWaitCursor&) = delete;

 private:
  bool set_ = false;
};

// Writes any widget (a window and its children) to a PNG file.
bool GrabToPng(QWidget* widget, const std::filesystem::path& pngPath);

}  // namespace km7::ui

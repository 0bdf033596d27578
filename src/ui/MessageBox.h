#pragma once
// Every message box of the program goes through ShowMessage, so tests can see
// the text and answer it without a person. Texts are Windows-1252 bytes.
#include <functional>
#include <string>

namespace km7::ui {

enum class MessageIcon { None, Information, Warning, Error };

// A modal box with an OK button. On the user-interface thread it returns when
// the box is closed; a call from another thread posts the box to the
// user-interface thread and returns at once.
void ShowMessage(const std::string& text, MessageIcon icon = MessageIcon::None,
                 const std::string& caption = std::string());

// A box that does not wait for the user, one per kind of trouble: shown
// again while the last box of the same kind is still open, that box takes
// the new text instead of a second box piling up. User-interface thread only
// (the message hook, when set, is called instead, every time).
void ShowStatusMessage(const std::string& kind, const std::string& text,
                       MessageIcon icon = MessageIcon::Warning);

// A modal question with Yes and No buttons (No is the default); true for
// Yes. User-interface thread only.
bool AskYesNo(const std::string& text, const std::string& caption = std::string());

// Test seam: while a hook is set it is called instead of showing a box.
using MessageHook = std::function<void(const std::string& text, MessageIcon icon, const std::string& caption)>;
void SetMessageHook(MessageHook hook);
// Test seam for AskYesNo: while set, it answers instead of a person.
using QuestionHook = std::function<bool(const std::string& text)>;
void SetQuestionHook(QuestionHook hook);

}  // namespace km7::ui

// A modal dialog over the plain Win32 dialog manager, with the handful of application-framework behaviours
// ControlSetup relies on: virtual handlers per message, OK and Cancel ending the dialog, dialogs that open
// centred, and message boxes captioned with the application's title.
#pragma once

#include <cstdint>
#include <string>

struct HWND__;
struct HICON__;

namespace control_setup {

// Caption of message boxes that give none, as the application's title.
inline constexpr char kApplicationTitle[] = "ControlSetup";

class DialogWindow {
 public:
  // `templateId` names a dialog resource of the running program; `parent` may be null.
  explicit DialogWindow(int templateId, HWND__* parent = nullptr) : templateId_(templateId), parent_(parent) {}
  virtual ~DialogWindow() = default;

  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;

  // Creates the dialog and runs it until endDialog; returns endDialog's value, or -1 when it could not be created.
  // Escape and the window's Close both arrive as the Cancel command (2), through the system's dialog manager.
  // Unless onInitDialog moved it, the dialog opens centred over its owner, or on the screen when it has none
  // (or the owner is hidden or minimised), moved inside the screen's work area as far as it fits.
  std::intptr_t doModal();

  // The dialog's window while it runs; null before and after.
  HWND__* handle() const { return window_; }

  void setItemText(int controlId, const std::string& text);

  // A modal message box owned by the dialog; the application's title stands in for a null caption.
  // `type` takes the MB_ flags; 0 is a plain OK box. Returns the button pressed.
  int messageBox(const std::string& text, const char* caption = nullptr, unsigned type = 0);

 protected:
  // Return true to let the system put the focus on the first tab stop.
  virtual bool onInitDialog() { return true; }
  // Return true when handled. Unhandled OK (1) and Cancel (2) end the dialog with their identifier.
  virtual bool onCommand(int id, int notifyCode);
  // Return true when handled; otherwise the system's default handling runs.
  virtual bool onSysCommand(unsigned command, std::intptr_t lParam);
  // Return true when the dialog painted itself; otherwise the system paints it.
  virtual bool onPaint() { return false; }
  // Icon shown while the minimised window is dragged; null for the system's default.
  virtual HICON__* onQueryDragIcon() { return nullptr; }

  void endDialog(std::intptr_t result);

 private:
  friend class DialogDispatch;
  std::intptr_t dispatch(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

  int templateId_;
  HWND__* parent_;
  HWND__* window_ = nullptr;
};

}  // namespace control_setup

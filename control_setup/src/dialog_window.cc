// Routes the dialog manager's messages to DialogWindow's handlers.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>

#include "dialog_window.h"
#include "wide_text.h"

namespace control_setup {
namespace {

void centreOverOwner(HWND window) {
  HWND owner = GetWindow(window, GW_OWNER);
  if (owner != nullptr) {
    const LONG style = GetWindowLongW(owner, GWL_STYLE);
    if ((style & WS_VISIBLE) == 0 || (style & WS_MINIMIZE) != 0) owner = nullptr;
  }
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  RECT centreOn;
  if (owner == nullptr) {
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
    centreOn = monitor.rcWork;
  } else {
    GetWindowRect(owner, &centreOn);
    if (!GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  }
  const RECT& area = monitor.rcWork;
  RECT own;
  GetWindowRect(window, &own);
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  // Over an owner near an edge the dialog moves inside the work area; the left and top edges win when the
  // dialog is larger than the area, so that its caption stays reachable.
  const int left =
      std::max<int>(area.left, std::min<int>((centreOn.left + centreOn.right) / 2 - width / 2, area.right - width));
  const int top =
      std::max<int>(area.top, std::min<int>((centreOn.top + centreOn.bottom) / 2 - height / 2, area.bottom - height));
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

class DialogDispatch {
 public:
  static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* dialog = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
      // The object arrives with the first message; messages before it (font, sizing) take the defaults.
      dialog = reinterpret_cast<DialogWindow*>(lParam);
      SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
      dialog->window_ = window;
    }
    if (dialog == nullptr) return FALSE;
    return dialog->dispatch(message, wParam, lParam);
  }
};

std::intptr_t DialogWindow::doModal() {
  const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent_,
                                         &DialogDispatch::procedure, reinterpret_cast<LPARAM>(this));
  window_ = nullptr;
  return result;
}

void DialogWindow::setItemText(int controlId, const std::string& text) {
  SetDlgItemTextW(window_, controlId, widen(text).c_str());
}

int DialogWindow::messageBox(const std::string& text, const char* caption, unsigned type) {
  return MessageBoxW(window_, widen(text).c_str(), widen(caption != nullptr ? caption : kApplicationTitle).c_str(),
                     type);
}

bool DialogWindow::onCommand(int id, int /*notifyCode*/) {
  if (id != IDOK && id != IDCANCEL) return false;
  endDialog(id);
  return true;
}

bool DialogWindow::onSysCommand(unsigned /*command*/, std::intptr_t /*lParam*/) { return false; }

void DialogWindow::endDialog(std::intptr_t result) { EndDialog(window_, result); }

std::intptr_t DialogWindow::dispatch(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      RECT before;
      GetWindowRect(window_, &before);
      const bool focusFirstTabStop = onInitDialog();
      RECT after;
      GetWindowRect(window_, &after);
      if (before.left == after.left && before.top == after.top) centreOverOwner(window_);
      return focusFirstTabStop ? TRUE : FALSE;
    }
    case WM_COMMAND: return onCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_SYSCOMMAND: return onSysCommand(static_cast<unsigned>(wParam), lParam) ? TRUE : FALSE;
    case WM_PAINT: return onPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      // One of the few messages whose result a dialog procedure returns directly instead of in DWLP_MSGRESULT.
      return reinterpret_cast<INT_PTR>(onQueryDragIcon());
    default: return FALSE;
  }
}

}  // namespace control_setup

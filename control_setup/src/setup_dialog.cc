// Main dialog of ControlSetup.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "about_dialog.h"
#include "resource_ids.h"
#include "setup_dialog.h"
#include "wide_text.h"

namespace control_setup {
namespace {

// BeginPaint and EndPaint must pair even when drawing bails out early.
class PaintScope {
 public:
  explicit PaintScope(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintScope() { EndPaint(window_, &paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;

  HDC dc() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

std::wstring loadString(UINT id) {
  const wchar_t* text = nullptr;
  // With a zero length the call hands out a read-only pointer into the resource, so no buffer size is guessed.
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

void enableButtons(HWND dialog, bool enabled) {
  for (int id : {IDC_INSTALL, IDOK, IDCANCEL}) EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
  if (HMENU systemMenu = GetSystemMenu(dialog, FALSE); systemMenu != nullptr) {
    EnableMenuItem(systemMenu, SC_CLOSE, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  }
}

}  // namespace

SetupDialog::SetupDialog()
    : DialogWindow(IDD_CONTROLSETUP_DIALOG),
      icon_(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      platform_(this),
      installer_(platform_) {}

bool SetupDialog::onInitDialog() {
  HWND window = handle();
  const std::wstring aboutEntry = loadString(IDS_ABOUTBOX);
  if (HMENU systemMenu = GetSystemMenu(window, FALSE); systemMenu != nullptr && !aboutEntry.empty()) {
    AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutEntry.c_str());
  }
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  // Only a warning: the dialog still opens so that Uninstall stays usable while the browser runs.
  installer_.warnIfBrowserRunning();
  return true;
}

bool SetupDialog::onCommand(int id, int notifyCode) {
  // Disabled buttons are not enough: Enter still sends the default button's command, and Escape or Alt+F4 the
  // Cancel command. While busy these are dropped, so the dialog neither nests a procedure nor ends under one.
  if (busy_ && (id == IDC_INSTALL || id == IDOK || id == IDCANCEL)) return true;
  switch (id) {
    case IDC_INSTALL: runProcedure(&ControlInstaller::install); return true;
    case IDOK:  // the Uninstall button carries the OK identifier, so it must not end the dialog
      runProcedure(&ControlInstaller::uninstall);
      return true;
    default: return DialogWindow::onCommand(id, notifyCode);
  }
}

void SetupDialog::runProcedure(void (ControlInstaller::*procedure)()) {
  HWND window = handle();
  HWND focus = GetFocus();  // a disabled button loses the focus; the pressed one gets it back afterwards
  busy_ = true;
  enableButtons(window, false);
  (installer_.*procedure)();
  enableButtons(window, true);
  busy_ = false;
  // Only while the dialog is still the active window: focusing an inactive one would activate it.
  if (focus != nullptr && GetFocus() == nullptr && GetActiveWindow() == window) SetFocus(focus);
}

bool SetupDialog::onSysCommand(unsigned command, std::intptr_t lParam) {
  if ((command & 0xFFF0) != IDM_ABOUTBOX) return DialogWindow::onSysCommand(command, lParam);
  AboutDialog(handle()).doModal();
  return true;
}

bool SetupDialog::onPaint() {
  HWND window = handle();
  if (!IsIconic(window)) return false;

  PaintScope paint(window);
  SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.dc()), 0);
  RECT client;
  GetClientRect(window, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(paint.dc(), x, y, icon_);
  return true;
}

HICON__* SetupDialog::onQueryDragIcon() { return icon_; }

}  // namespace control_setup

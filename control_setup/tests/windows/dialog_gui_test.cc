// Drives the real ControlSetup dialog from outside, as a user would: finds its window, reads its texts, clicks
// its buttons, opens the About box and closes the dialog. Run under Wine with a display.
//
// Usage: dialog_gui_test [screenshot-folder]. With a folder, the test writes "ready" there once the dialog
// shows a successful Install, and waits (at most 60 s) for "done" before going on, so that a screenshot can be
// taken from outside.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "check.h"
#include "control_installer.h"
#include "dialog_window.h"
#include "kernel_handle.h"
#include "resource_ids.h"
#include "wide_text.h"

namespace control_setup {
namespace {

std::wstring g_screenshotFolder;

std::wstring toolsFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.rfind(L'\\'));
}

// A started program, ended when the object goes out of scope if it has not ended by itself.
class Process {
 public:
  explicit Process(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &started)) {
      process_ = KernelHandle(started.hProcess);
      KernelHandle thread(started.hThread);
      id_ = started.dwProcessId;
    }
  }
  ~Process() {
    if (process_.valid() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 99);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  bool started() const { return process_.valid(); }
  DWORD id() const { return id_; }

  // True when the process ended within `timeoutMs` with exit code `expected`.
  bool endsWith(DWORD expected, DWORD timeoutMs) const {
    if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    return GetExitCodeProcess(process_.get(), &code) && code == expected;
  }

 private:
  KernelHandle process_;
  DWORD id_ = 0;
};

std::wstring controlSetupCommand() { return L"\"" + toolsFolder() + L"\\..\\payload\\ControlSetup.exe\""; }

std::string textOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return narrow(text);
}

std::string itemText(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  return item == nullptr ? "(no control " + std::to_string(id) + ")" : textOf(item);
}

bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

struct DialogSearch {
  DWORD processId;
  std::wstring caption;
  const std::function<bool(HWND)>* accept;
  HWND found;
};

BOOL CALLBACK considerWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<DialogSearch*>(data);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (owner != search->processId || !IsWindowVisible(window) || std::wstring(className) != L"#32770") return TRUE;
  if (widen(textOf(window)) != search->caption || !(*search->accept)(window)) return TRUE;
  search->found = window;
  return FALSE;
}

// A visible dialog-class window of `processId` with `caption` that `accept` agrees to; null when none.
HWND findDialog(DWORD processId, const std::string& caption, const std::function<bool(HWND)>& accept) {
  DialogSearch search{processId, widen(caption), &accept, nullptr};
  EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND waitForDialog(DWORD processId, const std::string& caption, const std::function<bool(HWND)>& accept) {
  HWND found = nullptr;
  waitFor([&] { return (found = findDialog(processId, caption, accept)) != nullptr; }, 20000);
  return found;
}

bool isMainDialog(HWND window) { return GetDlgItem(window, IDC_STATUS_LINE) != nullptr; }

bool statusBecomes(HWND dialog, const std::string& expected) {
  const bool reached = waitFor([&] { return itemText(dialog, IDC_STATUS_LINE) == expected; }, 65000);
  if (!reached) CHECK_EQ(itemText(dialog, IDC_STATUS_LINE), expected);
  return reached;
}

void click(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void pauseForScreenshot() {
  if (g_screenshotFolder.empty()) return;
  const std::wstring ready = g_screenshotFolder + L"\\ready";
  const std::wstring done = g_screenshotFolder + L"\\done";
  if (FILE* marker = _wfopen(ready.c_str(), L"w")) std::fclose(marker);
  CHECK(waitFor([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000));
}

void startUpWarnsWhileTheBrowserRunsAndTheDialogStillOpens() {
  Process browser(L"\"" + toolsFolder() + L"\\iexplore.exe\" 60");
  CHECK(browser.started());
  Sleep(300);  // let the browser show up in the process list before the installer looks
  Process setup(controlSetupCommand());
  CHECK(setup.started());

  HWND box = waitForDialog(setup.id(), kApplicationTitle, [](HWND w) { return !isMainDialog(w); });
  if (!CHECK(box != nullptr)) return;
  CHECK_EQ(itemText(box, 0xFFFF), kBrowserRunningMessage);  // a message box's text is its static 0xFFFF
  PostMessageW(box, WM_COMMAND, IDOK, 0);

  HWND dialog = waitForDialog(setup.id(), kApplicationTitle, isMainDialog);
  if (!CHECK(dialog != nullptr)) return;
  for (int id : {IDOK, IDCANCEL, IDC_INSTALL}) CHECK(IsWindowEnabled(GetDlgItem(dialog, id)));

  click(dialog, IDC_INSTALL);
  statusBecomes(dialog, kBrowserRunningMessage);

  PostMessageW(dialog, WM_CLOSE, 0, 0);  // the window's Close box ends the dialog like the Close button
  CHECK(setup.endsWith(0, 10000));
}

void dialogShowsItsControlsInstallsUninstallsAndClosesWithEscape() {
  Process setup(controlSetupCommand());
  HWND dialog = waitForDialog(setup.id(), kApplicationTitle, isMainDialog);
  if (!CHECK(dialog != nullptr)) return;

  CHECK_EQ(textOf(dialog), "ControlSetup");
  CHECK_EQ(itemText(dialog, IDOK), "Uninstall");
  CHECK_EQ(itemText(dialog, IDCANCEL), "Close");
  CHECK_EQ(itemText(dialog, IDC_INSTALL), "Install");
  CHECK_EQ(itemText(dialog, IDC_STATUS_LINE), "");
  const LONG statusStyle = GetWindowLongW(GetDlgItem(dialog, IDC_STATUS_LINE), GWL_STYLE);
  CHECK((statusStyle & SS_TYPEMASK) == SS_CENTER);
  CHECK((statusStyle & SS_SUNKEN) != 0);
  CHECK((GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0);

  click(dialog, IDC_INSTALL);
  if (statusBecomes(dialog, kRegisterSuccessMessage)) pauseForScreenshot();
  click(dialog, IDOK);  // Uninstall carries the OK identifier and must not end the dialog
  statusBecomes(dialog, kUnregisterSuccessMessage);
  CHECK(IsWindow(dialog));

  // Other system commands keep their default handling; minimised, the dialog paints its icon itself.
  PostMessageW(dialog, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  CHECK(waitFor([&] { return IsIconic(dialog) != FALSE; }, 10000));
  PostMessageW(dialog, WM_SYSCOMMAND, SC_RESTORE, 0);
  CHECK(waitFor([&] { return IsIconic(dialog) == FALSE; }, 10000));

  PostMessageW(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = waitForDialog(setup.id(), "About ControlSetup", [](HWND) { return true; });
  if (CHECK(about != nullptr)) {
    bool versionShown = false;
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      versionShown = versionShown || textOf(child) == "ControlSetup Version 1.0";
    }
    CHECK(versionShown);
    CHECK_EQ(itemText(about, IDOK), "OK");
    click(about, IDOK);
    CHECK(waitFor([&] { return !IsWindow(about); }, 10000));
  }

  // Escape reaches the dialog through its focused control, as a key press would.
  GUITHREADINFO thread{};
  thread.cbSize = sizeof(thread);
  GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread);
  HWND target = thread.hwndFocus != nullptr ? thread.hwndFocus : dialog;
  PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  CHECK(setup.endsWith(0, 10000));
}

}  // namespace
}  // namespace control_setup

int wmain(int argc, wchar_t** argv) {
  using namespace control_setup;
  if (argc > 1) g_screenshotFolder = argv[1];
  return checks::runAll({
      {"StartUpWarnsWhileTheBrowserRunsAndTheDialogStillOpens", startUpWarnsWhileTheBrowserRunsAndTheDialogStillOpens},
      {"DialogShowsItsControlsInstallsUninstallsAndClosesWithEscape",
       dialogShowsItsControlsInstallsUninstallsAndClosesWithEscape},
  });
}

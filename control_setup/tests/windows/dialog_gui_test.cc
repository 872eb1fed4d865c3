// Drives the real ControlSetup dialog from outside, as a user would: finds its window, reads its texts, clicks
// its buttons, opens the About box, checks where the windows open, keeps the registration tool busy and closes
// the dialog. Run under Wine with a display.
//
// Usage: dialog_gui_test [helper-folder]. With a folder, a helper outside Wine (run_dialog_test.sh) serves
// requests left there as files: "screenshot" once the dialog shows a successful Install, and "click" with the
// screen position of a real mouse click. Each is answered by "<request>.done" (waited for at most 60 s).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "check.h"
#include "control_installer.h"
#include "dialog_window.h"
#include "kernel_handle.h"
#include "resource_ids.h"
#include "unique_resource.h"
#include "wide_text.h"

namespace control_setup {
namespace {

std::wstring helperFolder;

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
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
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

struct CloseStream {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using Stream = UniqueResource<FILE*, CloseStream>;

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Leaves `request` (with `content`) for the helper and waits for its answer; false without a helper.
bool askHelper(const std::wstring& request, const std::string& content) {
  if (helperFolder.empty()) return false;
  const std::wstring path = helperFolder + L"\\" + request;
  const std::wstring done = path + L".done";
  // Written aside and renamed, so that the helper never reads a request half written.
  if (Stream file(_wfopen((path + L".tmp").c_str(), L"wb")); file.valid()) {
    std::fwrite(content.data(), 1, content.size(), file.get());
  }
  if (!CHECK(MoveFileExW((path + L".tmp").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))) return false;
  const bool answered = waitFor([&] { return fileExists(done); }, 60000);
  DeleteFileW(done.c_str());
  return CHECK(answered);
}

RECT windowRect(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return rect;
}

RECT primaryWorkArea() {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
  return monitor.rcWork;
}

std::string describe(const RECT& rect) {
  return "(" + std::to_string(rect.left) + ", " + std::to_string(rect.top) + ") - (" + std::to_string(rect.right) +
         ", " + std::to_string(rect.bottom) + ")";
}

// Centred: the gaps on either side differ by at most the one pixel an odd size leaves over.
void checkCentred(const RECT& inner, const RECT& outer, const char* what) {
  const int horizontal = (inner.left - outer.left) - (outer.right - inner.right);
  const int vertical = (inner.top - outer.top) - (outer.bottom - inner.bottom);
  if (std::abs(horizontal) > 1 || std::abs(vertical) > 1) {
    checks::fail(__FILE__, __LINE__,
                 std::string(what) + " not centred: " + describe(inner) + " within " + describe(outer));
  }
}

HWND openAbout(const Process& setup, HWND dialog) {
  PostMessageW(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  return waitForDialog(setup.id(), "About ControlSetup", [](HWND) { return true; });
}

void closeAbout(HWND about) {
  click(about, IDOK);
  CHECK(waitFor([&] { return !IsWindow(about); }, 10000));
}

// True when the dialog's thread handles a message sent to it within two seconds.
bool answers(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result) != 0;
}

DWORD lastInputTime() {
  LASTINPUTINFO info{};
  info.cbSize = sizeof(info);
  GetLastInputInfo(&info);
  return info.dwTime;
}

// Files of the test control's slow registration (test_control.cc), beside the installed control.
const wchar_t kHoldFile[] = L"C:\\Quillmark\\hold-registration";
const wchar_t kRegistrationsLog[] = L"C:\\Quillmark\\registrations.log";

int registrationsLogged() {
  int lines = 0;
  if (Stream log(_wfopen(kRegistrationsLog, L"rb")); log.valid()) {
    for (int c; (c = std::fgetc(log.get())) != EOF;) lines += c == '\n';
  }
  return lines;
}

// Keeps every registration of the test control running until release(), or until destroyed.
class HeldRegistration {
 public:
  HeldRegistration() {
    CreateDirectoryW(L"C:\\Quillmark", nullptr);
    DeleteFileW(kRegistrationsLog);
    Stream(_wfopen(kHoldFile, L"w")).reset();
  }
  ~HeldRegistration() { release(); }
  HeldRegistration(const HeldRegistration&) = delete;
  HeldRegistration& operator=(const HeldRegistration&) = delete;

  void release() { DeleteFileW(kHoldFile); }
};

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
  if (statusBecomes(dialog, kRegisterSuccessMessage)) askHelper(L"screenshot", "");
  click(dialog, IDOK);  // Uninstall carries the OK identifier and must not end the dialog
  statusBecomes(dialog, kUnregisterSuccessMessage);
  CHECK(IsWindow(dialog));

  // Other system commands keep their default handling; minimised, the dialog paints its icon itself.
  PostMessageW(dialog, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  CHECK(waitFor([&] { return IsIconic(dialog) != FALSE; }, 10000));
  PostMessageW(dialog, WM_SYSCOMMAND, SC_RESTORE, 0);
  CHECK(waitFor([&] { return IsIconic(dialog) == FALSE; }, 10000));

  HWND about = openAbout(setup, dialog);
  if (CHECK(about != nullptr)) {
    bool versionShown = false;
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      versionShown = versionShown || textOf(child) == "ControlSetup Version 1.0";
    }
    CHECK(versionShown);
    CHECK_EQ(itemText(about, IDOK), "OK");
    closeAbout(about);
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

void dialogsOpenCentred() {
  Process setup(controlSetupCommand());
  HWND dialog = waitForDialog(setup.id(), kApplicationTitle, isMainDialog);
  if (!CHECK(dialog != nullptr)) return;
  const RECT area = primaryWorkArea();
  checkCentred(windowRect(dialog), area, "main dialog on the screen");

  if (HWND about = openAbout(setup, dialog); CHECK(about != nullptr)) {
    checkCentred(windowRect(about), windowRect(dialog), "About box over the main dialog");
    closeAbout(about);
  }

  // Over a dialog dragged half off the screen, the About box still opens whole, at the screen's edge.
  const RECT placed = windowRect(dialog);
  SetWindowPos(dialog, nullptr, area.left - (placed.right - placed.left) / 2 - 40, placed.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (HWND about = openAbout(setup, dialog); CHECK(about != nullptr)) {
    CHECK_EQ(windowRect(about).left, area.left);
    closeAbout(about);
  }

  PostMessageW(dialog, WM_CLOSE, 0, 0);
  CHECK(setup.endsWith(0, 10000));
}

void staysResponsiveAndStartsNoSecondInstallDuringASlowRegistration() {
  HeldRegistration held;
  Process setup(controlSetupCommand());
  HWND dialog = waitForDialog(setup.id(), kApplicationTitle, isMainDialog);
  if (!CHECK(dialog != nullptr)) return;

  click(dialog, IDC_INSTALL);
  // Logged once regsvr32 runs the control's registration: from here on the dialog waits for the tool.
  if (!CHECK(waitFor([] { return registrationsLogged() == 1; }, 20000))) return;

  CHECK(answers(dialog, WM_NULL));
  for (int id : {IDC_INSTALL, IDOK, IDCANCEL}) CHECK(!IsWindowEnabled(GetDlgItem(dialog, id)));
  // What Enter on the default button and Escape send: neither may start a procedure or end the dialog now.
  CHECK(answers(dialog, WM_COMMAND, MAKEWPARAM(IDC_INSTALL, BN_CLICKED),
                reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_INSTALL))));
  CHECK(answers(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL))));
  // A real click on Install: the dialog's thread reads it from the display only while it dispatches messages.
  const RECT install = windowRect(GetDlgItem(dialog, IDC_INSTALL));
  const DWORD inputBefore = lastInputTime();
  if (askHelper(L"click", std::to_string((install.left + install.right) / 2) + " " +
                              std::to_string((install.top + install.bottom) / 2))) {
    CHECK(waitFor([&] { return lastInputTime() != inputBefore; }, 2000));
    // The second reply comes only after the dialog's thread went back for messages, past the click.
    CHECK(answers(dialog, WM_NULL) && answers(dialog, WM_NULL));
  }

  CHECK_EQ(itemText(dialog, IDC_STATUS_LINE), "");  // no second procedure ran, not even one that failed at once

  held.release();
  statusBecomes(dialog, kRegisterSuccessMessage);
  CHECK_EQ(registrationsLogged(), 1);
  CHECK(IsWindow(dialog));
  // The status line is written just before the buttons come back.
  CHECK(waitFor(
      [&] {
        for (int id : {IDC_INSTALL, IDOK, IDCANCEL}) {
          if (!IsWindowEnabled(GetDlgItem(dialog, id))) return false;
        }
        return true;
      },
      5000));

  PostMessageW(dialog, WM_CLOSE, 0, 0);
  CHECK(setup.endsWith(0, 10000));
}

// A Wine desktop left running by an earlier program that had no display makes every window creation fail,
// and each case would only report a window it could not find.
bool windowsCanBeCreated() {
  HWND probe = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  if (probe == nullptr) return false;
  DestroyWindow(probe);
  return true;
}

}  // namespace
}  // namespace control_setup

int wmain(int argc, wchar_t** argv) {
  using namespace control_setup;
  if (argc > 1) helperFolder = argv[1];
  if (!windowsCanBeCreated()) {
    std::printf("no window can be created: no display, or a Wine desktop started without one still runs\n");
    return 1;
  }
  return checks::runAll({
      {"StartUpWarnsWhileTheBrowserRunsAndTheDialogStillOpens", startUpWarnsWhileTheBrowserRunsAndTheDialogStillOpens},
      {"DialogShowsItsControlsInstallsUninstallsAndClosesWithEscape",
       dialogShowsItsControlsInstallsUninstallsAndClosesWithEscape},
      {"DialogsOpenCentred", dialogsOpenCentred},
      {"StaysResponsiveAndStartsNoSecondInstallDuringASlowRegistration",
       staysResponsiveAndStartsNoSecondInstallDuringASlowRegistration},
  });
}

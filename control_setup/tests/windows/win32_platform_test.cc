// The Windows platform and the procedures together on a real Windows API (run under Wine): the payload beside
// this program is installed into C:\Quillmark and registered by the system's regsvr32 with a test control,
// while a planted regsvr32.exe lies beside this program.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "control_installer.h"
#include "kernel_handle.h"
#include "unique_resource.h"
#include "wide_text.h"
#include "win32_setup_platform.h"

namespace control_setup {
namespace {

const char* const kPayload[] = {"qmcodec4.dll", "qmcrt.dll",     "qmcodec4w.dll", "qmtrap.dll", "qmcodec5w.dll",
                                "qmcodec5.dll", "Quillmark.inf", "Quillmark.ocx", "qmlink.dll", "qmrender.dll"};

// The real platform with the dialog's outputs captured, and optionally another program folder.
class RecordingPlatform : public Win32SetupPlatform {
 public:
  RecordingPlatform() : Win32SetupPlatform(nullptr) {}
  void setStatus(const std::string& text) override { statuses.push_back(text); }
  void showMessage(const std::string& text) override { messages.push_back(text); }
  std::string modulePath() override { return programPath.empty() ? Win32SetupPlatform::modulePath() : programPath; }

  std::string lastStatus() const { return statuses.empty() ? "(no status)" : statuses.back(); }

  std::vector<std::string> statuses;
  std::vector<std::string> messages;
  std::string programPath;
};

struct CloseStream {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using Stream = UniqueResource<FILE*, CloseStream>;

Stream openStream(const std::string& path, const wchar_t* mode) {
  return Stream(_wfopen(widen("\\\\?\\" + path).c_str(), mode));
}

std::string readFile(const std::string& path) {
  Stream stream = openStream(path, L"rb");
  if (!stream.valid()) return "(missing " + path + ")";
  std::string content;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), stream.get())) > 0;) content.append(buffer, n);
  return content;
}

void writeFile(const std::string& path, const std::string& content) {
  if (Stream stream = openStream(path, L"wb"); stream.valid()) {
    std::fwrite(content.data(), 1, content.size(), stream.get());
  }
}

std::string programFolder() {
  RecordingPlatform platform;
  return folderOf(platform.modulePath());
}

bool browserSeen(RecordingPlatform& platform, bool expected) {
  ControlInstaller installer(platform);
  for (int i = 0; i < 100; ++i) {
    if (installer.browserRunning() == expected) return true;
    Sleep(50);
  }
  return false;
}

// Starts the stand-in browser; it is ended when the result goes out of scope.
class BrowserProcess {
 public:
  BrowserProcess() {
    std::wstring line = L"\"" + widen(folderOf(programFolder())) + L"\\tools\\iexplore.exe\" 60";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
      process_ = KernelHandle(started.hProcess);
      KernelHandle thread(started.hThread);
    }
  }
  ~BrowserProcess() {
    if (!process_.valid()) return;
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 5000);
  }
  bool started() const { return process_.valid(); }

 private:
  KernelHandle process_;
};

void installCopiesThePayloadAndRegisters() {
  RecordingPlatform platform;
  CHECK(!platform.classesKeyOpens(kRegistrationKey));
  CHECK(!platform.fileExists("C:\\Quillmark\\Quillmark.ocx"));
  ControlInstaller installer(platform);
  installer.install();

  CHECK_EQ(platform.lastStatus(), kRegisterSuccessMessage);
  const std::string source = programFolder();
  for (const char* name : kPayload) {
    CHECK_EQ(readFile(std::string("C:\\Quillmark\\") + name), readFile(source + "\\" + name));
  }
  CHECK(!platform.fileExists(kProbeFile));
  CHECK(platform.classesKeyOpens(kRegistrationKey));

  writeFile("C:\\Quillmark\\qmlink.dll", "stale copy");  // a second Install overwrites
  installer.install();
  CHECK_EQ(platform.lastStatus(), kRegisterSuccessMessage);
  CHECK_EQ(readFile("C:\\Quillmark\\qmlink.dll"), readFile(source + "\\qmlink.dll"));
}

void uninstallUnregistersAndKeepsTheFiles() {
  RecordingPlatform platform;
  ControlInstaller installer(platform);
  installer.install();
  installer.uninstall();
  CHECK_EQ(platform.lastStatus(), kUnregisterSuccessMessage);
  CHECK(!platform.classesKeyOpens(kRegistrationKey));
  for (const char* name : kPayload) CHECK(platform.fileExists(std::string("C:\\Quillmark\\") + name));
}

void uninstallInANewRunFindsTheInstalledControl() {
  RecordingPlatform platform;
  CHECK(platform.runSystemTool(kRegistrationTool, "C:\\Quillmark\\Quillmark.ocx /s /c", kRegistrationTimeoutMs) ==
        RunResult::kFinished);
  CHECK(platform.classesKeyOpens(kRegistrationKey));
  ControlInstaller installer(platform);
  installer.uninstall();
  CHECK_EQ(platform.lastStatus(), kUnregisterSuccessMessage);
  CHECK(!platform.classesKeyOpens(kRegistrationKey));
}

void installIsRefusedWhileTheBrowserRuns() {
  RecordingPlatform platform;
  BrowserProcess browser;
  CHECK(browser.started());
  CHECK(browserSeen(platform, true));

  ControlInstaller installer(platform);
  installer.install();
  CHECK_EQ(platform.lastStatus(), kBrowserRunningMessage);
  CHECK(!platform.fileExists(kProbeFile));
  CHECK(!platform.classesKeyOpens(kRegistrationKey));
  installer.warnIfBrowserRunning();
  CHECK_EQ(platform.messages.size(), 1u);
}

void installWithoutTheControlFileStopsBeforeRegistering() {
  RecordingPlatform platform;
  const std::string emptyFolder = "C:\\empty-setup";
  platform.makeFolder(emptyFolder);
  platform.programPath = emptyFolder + "\\ControlSetup.exe";
  platform.removeFile("C:\\Quillmark\\qmlink.dll");
  ControlInstaller installer(platform);
  installer.install();
  CHECK_EQ(platform.lastStatus(), kControlCopyFailedMessage);
  CHECK(!platform.fileExists("C:\\Quillmark\\qmlink.dll"));
  CHECK(!platform.classesKeyOpens(kRegistrationKey));
}

void installFromAFolderBeyondMaxPathCopiesFromIt() {
  RecordingPlatform platform;
  std::string deep = "C:\\deep";
  platform.makeFolder(deep);
  for (char part : {'a', 'b', 'c'}) {
    deep += "\\" + std::string(100, part);
    platform.makeFolder(deep);
  }
  CHECK(deep.size() > MAX_PATH);
  for (const char* name : kPayload) {
    CHECK(platform.copyFile(programFolder() + "\\" + name, deep + "\\" + name));
  }
  platform.programPath = deep + "\\ControlSetup.exe";
  ControlInstaller installer(platform);
  installer.install();
  CHECK_EQ(platform.lastStatus(), kRegisterSuccessMessage);
  CHECK(platform.fileExists(deep + "\\Quillmark.ocx"));
  CHECK(platform.removeFile(deep + "\\Quillmark.ocx"));
  CHECK(!platform.fileExists(deep + "\\Quillmark.ocx"));
  installer.uninstall();
}

// The program's folder holds a regsvr32.exe of the tests' own (see CMakeLists.txt), as a download folder might.
void aRegsvr32BesideTheProgramIsNeverRun() {
  RecordingPlatform platform;
  const std::string record = programFolder() + "\\planted-tool-ran.txt";
  platform.removeFile(record);
  CHECK(platform.fileExists(programFolder() + "\\regsvr32.exe"));
  ControlInstaller installer(platform);
  installer.install();
  CHECK_EQ(platform.lastStatus(), kRegisterSuccessMessage);
  installer.uninstall();
  CHECK_EQ(platform.lastStatus(), kUnregisterSuccessMessage);
  CHECK(!platform.fileExists(record));
}

void runSystemToolTellsUnstartedFinishedAndTimedOut() {
  RecordingPlatform platform;
  CHECK(platform.runSystemTool("no-such-tool-7f3a", "", 5000) == RunResult::kNotStarted);
  CHECK(platform.runSystemTool("cmd", "/c exit 3", 30000) == RunResult::kFinished);

  const std::string slow = "/c \"" + folderOf(programFolder()) + "\\tools\\iexplore.exe\" 3";
  CHECK(platform.runSystemTool("cmd", slow, 200) == RunResult::kTimedOut);
  CHECK(browserSeen(platform, true));   // the timed-out tool is left running ...
  CHECK(browserSeen(platform, false));  // ... and ends by itself; later tests must not see it
}

}  // namespace
}  // namespace control_setup

int main() {
  using namespace control_setup;
  return checks::runAll({
      {"InstallCopiesThePayloadAndRegisters", installCopiesThePayloadAndRegisters},
      {"UninstallUnregistersAndKeepsTheFiles", uninstallUnregistersAndKeepsTheFiles},
      {"UninstallInANewRunFindsTheInstalledControl", uninstallInANewRunFindsTheInstalledControl},
      {"InstallIsRefusedWhileTheBrowserRuns", installIsRefusedWhileTheBrowserRuns},
      {"InstallWithoutTheControlFileStopsBeforeRegistering", installWithoutTheControlFileStopsBeforeRegistering},
      {"InstallFromAFolderBeyondMaxPathCopiesFromIt", installFromAFolderBeyondMaxPathCopiesFromIt},
      {"ARegsvr32BesideTheProgramIsNeverRun", aRegsvr32BesideTheProgramIsNeverRun},
      {"RunSystemToolTellsUnstartedFinishedAndTimedOut", runSystemToolTellsUnstartedFinishedAndTimedOut},
  });
}

// Install and Uninstall procedures of ControlSetup.
#include "control_installer.h"

#include <cctype>
#include <string_view>

namespace control_setup {
namespace {

struct PayloadFile {
  const char* name;
  bool toDriveD;
};

// Installations in D:\Quillmark have never received the second H.265 decoder; they keep getting the same set.
constexpr PayloadFile kFilesBeforeControl[] = {
    {"qmcodec4.dll", true},   {"qmcrt.dll", true},    {"qmcodec4w.dll", true}, {"qmtrap.dll", true},
    {"qmcodec5w.dll", false}, {"qmcodec5.dll", true}, {"Quillmark.inf", true},
};
constexpr const char* kFilesAfterControl[] = {"qmlink.dll", "qmrender.dll"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string installFolder(InstallDrive drive) { return drive == InstallDrive::kC ? "C:\\Quillmark" : "D:\\Quillmark"; }

std::string registrationArguments(InstallDrive drive, bool unregister) {
  return installFolder(drive) + "\\" + kControlFile + (unregister ? " /s /u" : " /s /c");
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool ControlInstaller::browserRunning() {
  for (const std::string& name : platform_.processNames()) {
    if (equalsIgnoringCase(name, kBrowserExecutable)) return true;
  }
  return false;
}

void ControlInstaller::warnIfBrowserRunning() {
  if (browserRunning()) platform_.showMessage(kBrowserRunningMessage);
}

void ControlInstaller::install() {
  // The probe is opened before the browser check so that a refused Install still cleans it up.
  std::unique_ptr<OpenFile> probe = platform_.openForWriting(kProbeFile);
  const bool rootOfCWritable = probe != nullptr;

  if (browserRunning()) {
    if (probe) {
      probe.reset();
      platform_.removeFile(kProbeFile);
    }
    platform_.setStatus(kBrowserRunningMessage);
    return;
  }

  // Paths are built as strings of any length, so a deep program folder can never yield a truncated source path.
  const std::string sourceFolder = folderOf(platform_.modulePath());

  if (rootOfCWritable) {
    probe.reset();
    platform_.removeFile(kProbeFile);
  }
  const InstallDrive drive = rootOfCWritable ? InstallDrive::kC : InstallDrive::kD;
  drive_ = drive;

  const std::string target = installFolder(drive);
  platform_.makeFolder(target);  // usually exists already; a real problem shows up as the control copy failing

  auto copy = [&](const char* name) { return platform_.copyFile(sourceFolder + "\\" + name, target + "\\" + name); };
  for (const PayloadFile& file : kFilesBeforeControl) {
    if (drive == InstallDrive::kD && !file.toDriveD) continue;
    copy(file.name);  // only the control file decides whether the installation goes on
  }
  if (!copy(kControlFile)) {
    platform_.setStatus(kControlCopyFailedMessage);
    return;
  }
  for (const char* name : kFilesAfterControl) copy(name);

  platform_.setStatus(registerControl(drive, false) ? kRegisterSuccessMessage : kRegisterFailMessage);
}

void ControlInstaller::uninstall() {
  platform_.setStatus(registerControl(uninstallDrive(), true) ? kUnregisterSuccessMessage : kUnregisterFailMessage);
}

InstallDrive ControlInstaller::uninstallDrive() {
  if (drive_) return *drive_;
  // A control installed by an earlier run: find it rather than guess, so its own folder's copy is unregistered.
  for (InstallDrive drive : {InstallDrive::kC, InstallDrive::kD}) {
    if (platform_.fileExists(installFolder(drive) + "\\" + kControlFile)) return drive;
  }
  return InstallDrive::kC;
}

bool ControlInstaller::registerControl(InstallDrive drive, bool unregister) {
  // Waiting for the tool matters: the key only changes once regsvr32 has loaded the control and run it.
  if (platform_.runSystemTool(kRegistrationTool, registrationArguments(drive, unregister), kRegistrationTimeoutMs) ==
      RunResult::kNotStarted) {
    return false;
  }
  return platform_.classesKeyOpens(kRegistrationKey) != unregister;
}

}  // namespace control_setup

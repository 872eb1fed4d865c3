// The Install and Uninstall procedures of ControlSetup and the browser check, as plain logic over
// SetupPlatform: which folder, which files in which order, which registration command, which status line.
#pragma once

#include <optional>
#include <string>

#include "setup_platform.h"

namespace control_setup {

// Status-line and message-box texts, shown to the user exactly as written.
inline constexpr char kBrowserRunningMessage[] = "IE window must be close before install ocx.";
inline constexpr char kControlCopyFailedMessage[] = "Cant copy file Quillmark.ocx.";
inline constexpr char kRegisterSuccessMessage[] = "Register OCX success";
inline constexpr char kRegisterFailMessage[] = "Register OCX fail";
inline constexpr char kUnregisterSuccessMessage[] = "Unregister OCX success";
inline constexpr char kUnregisterFailMessage[] = "Unregister OCX fail";

inline constexpr char kProbeFile[] = "c:\\tmp-test.txt";
inline constexpr char kBrowserExecutable[] = "iexplore.exe";
inline constexpr char kRegistrationKey[] = "QUILLMARK.QuillmarkCtrl.1\\CLSID";
inline constexpr char kControlFile[] = "Quillmark.ocx";
inline constexpr char kRegistrationTool[] = "regsvr32";

// The registration tool normally ends within a second; the bound keeps a hung tool from leaving the dialog busy
// (its buttons disabled) for good.
inline constexpr unsigned kRegistrationTimeoutMs = 60000;

enum class InstallDrive { kC, kD };

// Install folder without a trailing backslash, e.g. "C:\Quillmark".
std::string installFolder(InstallDrive drive);

// The arguments of the registration tool that register (or, with `unregister`, unregister) the control in
// `drive`'s folder, such as "C:\Quillmark\Quillmark.ocx /s /c".
std::string registrationArguments(InstallDrive drive, bool unregister);

// The folder part of a Windows path: everything before its last backslash; empty when there is none.
std::string folderOf(const std::string& path);

// Lives as long as the dialog; remembers the drive chosen by the last Install that passed the browser check.
class ControlInstaller {
 public:
  explicit ControlInstaller(SetupPlatform& platform) : platform_(platform) {}

  // True when a process named iexplore.exe (any letter case) runs.
  bool browserRunning();

  // Start-up warning: a message box when the browser runs; nothing otherwise.
  void warnIfBrowserRunning();

  // Copies the payload beside the program into the install folder and registers the control. Ends by writing
  // exactly one status line.
  void install();

  // Unregisters the control where it was installed; removes no files. Ends by writing exactly one status line.
  void uninstall();

  // Drive chosen by the last Install that got past the browser check; empty before that.
  std::optional<InstallDrive> installDrive() const { return drive_; }

 private:
  // The folder an Uninstall acts on: the last Install's, else wherever the control file is found, else C:.
  InstallDrive uninstallDrive();

  bool registerControl(InstallDrive drive, bool unregister);

  SetupPlatform& platform_;
  std::optional<InstallDrive> drive_;
};

}  // namespace control_setup

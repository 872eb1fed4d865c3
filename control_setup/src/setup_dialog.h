// ControlSetup's main dialog: Install, Uninstall and Close buttons, a status line, and the About entry in the
// system menu.
#pragma once

#include "control_installer.h"
#include "dialog_window.h"
#include "win32_setup_platform.h"

namespace control_setup {

class SetupDialog : public DialogWindow {
 public:
  SetupDialog();

 protected:
  bool onInitDialog() override;
  bool onCommand(int id, int notifyCode) override;
  bool onSysCommand(unsigned command, std::intptr_t lParam) override;
  bool onPaint() override;
  HICON__* onQueryDragIcon() override;

 private:
  // Runs Install or Uninstall with the buttons and the window's close box disabled; the dialog goes on
  // dispatching messages while the registration tool runs, and must not start a second procedure meanwhile.
  void runProcedure(void (ControlInstaller::*procedure)());

  // Loaded as a shared resource icon: the system owns it and it must not be destroyed.
  HICON__* icon_;
  Win32SetupPlatform platform_;
  ControlInstaller installer_;  // holds the install drive for as long as the dialog lives
  bool busy_ = false;           // a procedure runs
};

}  // namespace control_setup

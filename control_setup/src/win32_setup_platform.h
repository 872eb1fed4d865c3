// The installer's platform on Windows: process snapshot, files, the registration tool, the registry, and the
// dialog's status line and message boxes.
#pragma once

#include "setup_platform.h"

namespace control_setup {

class DialogWindow;

class Win32SetupPlatform : public SetupPlatform {
 public:
  // `dialog` shows the status line and owns message boxes; it is used only once it has a window, and may be
  // null, in which case status lines are dropped and message boxes have no owner.
  explicit Win32SetupPlatform(DialogWindow* dialog) : dialog_(dialog) {}

  std::vector<std::string> processNames() override;
  std::unique_ptr<OpenFile> openForWriting(const std::string& path) override;
  bool removeFile(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  std::string modulePath() override;
  bool makeFolder(const std::string& path) override;
  bool copyFile(const std::string& source, const std::string& destination) override;
  // While waiting, the dialog's messages are dispatched (see message_aware_wait.h).
  RunResult runSystemTool(const std::string& tool, const std::string& arguments, unsigned timeoutMs) override;
  bool classesKeyOpens(const std::string& subKey) override;
  void setStatus(const std::string& text) override;
  void showMessage(const std::string& text) override;

 private:
  DialogWindow* dialog_;
};

}  // namespace control_setup

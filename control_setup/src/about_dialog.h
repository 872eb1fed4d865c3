// The About box: program name, version and maker's notice, closed with OK.
#pragma once

#include "dialog_window.h"
#include "resource_ids.h"

namespace control_setup {

class AboutDialog : public DialogWindow {
 public:
  explicit AboutDialog(HWND__* owner) : DialogWindow(IDD_ABOUTBOX, owner) {}
};

}  // namespace control_setup

// Entry point of ControlSetup: runs the main dialog and exits when it closes.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "setup_dialog.h"

// No counterpart of the old framework's Enable3dControls is called: it only mattered before Windows 95, since
// when the system draws dialog controls three-dimensional by itself, and the dialog uses no common controls
// that InitCommonControls would have to register.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  control_setup::SetupDialog dialog;
  dialog.doModal();  // how the dialog ended does not matter: the program has nothing left to do
  return 0;
}

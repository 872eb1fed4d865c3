// Message-aware wait over MsgWaitForMultipleObjectsEx.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "message_aware_wait.h"

namespace control_setup {
namespace {

// Dispatches every message waiting in the thread's queue; false when it met WM_QUIT (not dispatched).
bool dispatchWaitingMessages(HWND dialog, WPARAM& quitCode) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quitCode = message.wParam;
      return false;
    }
    if (dialog != nullptr && IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

}  // namespace

bool waitDispatchingMessages(void* object, unsigned timeoutMs, HWND__* dialog) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool dispatching = true;
  WPARAM quitCode = 0;
  bool signalled = false;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (!dispatching) {
      signalled = WaitForSingleObject(object, remaining) == WAIT_OBJECT_0;
      break;
    }
    // MWMO_INPUTAVAILABLE: a message that was already in the queue before this call also ends the wait, not
    // only one that arrives during it.
    const DWORD woken = MsgWaitForMultipleObjectsEx(1, &object, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0) {
      signalled = true;
      break;
    }
    if (woken != WAIT_OBJECT_0 + 1) break;  // timed out, or the handle is unusable
    dispatching = dispatchWaitingMessages(dialog, quitCode);
    // A steady stream of messages must not stretch the bound.
    if (GetTickCount64() >= deadline) {
      signalled = WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
      break;
    }
  }
  if (!dispatching) PostQuitMessage(static_cast<int>(quitCode));
  return signalled;
}

}  // namespace control_setup

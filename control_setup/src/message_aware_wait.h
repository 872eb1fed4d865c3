// Waiting for a kernel object without freezing the calling thread's windows: their messages go on being
// dispatched while the wait lasts.
#pragma once

struct HWND__;

namespace control_setup {

// Waits up to `timeoutMs` for `object` (a HANDLE) to be signalled, dispatching the calling thread's messages
// meanwhile; keyboard messages for `dialog` (may be null) get the dialog manager's handling (Tab, Enter,
// Escape). Returns true when the object was signalled in time. A WM_QUIT seen while waiting ends the
// dispatching, not the wait, and is posted again before returning so that the thread's own loop still ends.
bool waitDispatchingMessages(void* object, unsigned timeoutMs, HWND__* dialog);

}  // namespace control_setup

// Closing of kernel object handles.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "kernel_handle.h"

namespace control_setup {

void CloseKernelHandle::operator()(void* handle) const { CloseHandle(handle); }

}  // namespace control_setup

// Owner of a Windows kernel object handle (process, thread, snapshot), closed with CloseHandle.
#pragma once

#include "unique_resource.h"

namespace control_setup {

struct CloseKernelHandle {
  void operator()(void* handle) const;  // a HANDLE; kept as void* so that this header needs no <windows.h>
};
using KernelHandle = UniqueResource<void*, CloseKernelHandle>;

}  // namespace control_setup

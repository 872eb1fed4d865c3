// Built as regsvr32.exe and placed beside the installer, where a file dropped into a download folder would lie:
// when run, it leaves "planted-tool-ran.txt" beside itself and registers nothing. The installer must never
// start it.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>

#include "kernel_handle.h"

int main() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  folder.resize(folder.rfind(L'\\'));
  HANDLE record = CreateFileW((folder + L"\\planted-tool-ran.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (record != INVALID_HANDLE_VALUE) control_setup::KernelHandle(record).reset();  // the file is the record
  return 0;
}

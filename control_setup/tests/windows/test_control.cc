// Test stand-in for the Quillmark control: registering creates the key the installer checks, unregistering
// deletes it, as the real control's registration would.
//
// For the tests of a slow registration, registering also appends a line to "registrations.log" beside the
// control, and while a file "hold-registration" lies there it does not return (for at most 30 s), so a test
// holds the registration tool running for as long as it needs.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>

#include "kernel_handle.h"

namespace {

const wchar_t kProgId[] = L"QUILLMARK.QuillmarkCtrl.1";
const wchar_t kClsidKey[] = L"QUILLMARK.QuillmarkCtrl.1\\CLSID";
const wchar_t kClsid[] = L"{5B0E4E51-7A43-4C1D-9B8E-2F7A3C6D1E90}";

std::wstring ownFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ownFolder), &self);
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.rfind(L'\\'));
}

void noteRegistrationAndHold() {
  const std::wstring folder = ownFolder();
  HANDLE log = CreateFileW((folder + L"\\registrations.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    control_setup::KernelHandle owner(log);
    DWORD written = 0;
    WriteFile(log, "register\n", 9, &written, nullptr);
  }
  const std::wstring hold = folder + L"\\hold-registration";
  for (int i = 0; i < 600 && GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT __stdcall DllRegisterServer() {
  noteRegistrationAndHold();
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kClsidKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return E_FAIL;
  }
  const LONG written = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kClsid), sizeof(kClsid));
  RegCloseKey(key);
  return written == ERROR_SUCCESS ? S_OK : E_FAIL;
}

extern "C" __declspec(dllexport) HRESULT __stdcall DllUnregisterServer() {
  RegDeleteKeyW(HKEY_CLASSES_ROOT, kClsidKey);
  RegDeleteKeyW(HKEY_CLASSES_ROOT, kProgId);
  return S_OK;
}

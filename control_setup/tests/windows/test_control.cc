// Test stand-in for the Quillmark control: registering creates the key the installer checks, unregistering
// deletes it, as the real control's registration would.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

namespace {

const wchar_t kProgId[] = L"QUILLMARK.QuillmarkCtrl.1";
const wchar_t kClsidKey[] = L"QUILLMARK.QuillmarkCtrl.1\\CLSID";
const wchar_t kClsid[] = L"{5B0E4E51-7A43-4C1D-9B8E-2F7A3C6D1E90}";

}  // namespace

extern "C" __declspec(dllexport) HRESULT __stdcall DllRegisterServer() {
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

// Windows implementation of the installer's platform. Paths go through the wide API with the "\\?\" prefix
// once they reach MAX_PATH, so a program folder of any depth is read and copied from correctly.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <cstdio>

#include "dialog_window.h"
#include "kernel_handle.h"
#include "message_aware_wait.h"
#include "resource_ids.h"
#include "unique_resource.h"
#include "wide_text.h"
#include "win32_setup_platform.h"

namespace control_setup {
namespace {

struct CloseRegistryKey {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using RegistryKey = UniqueResource<HKEY, CloseRegistryKey>;

struct CloseStream {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using Stream = UniqueResource<FILE*, CloseStream>;

class StreamFile : public OpenFile {
 public:
  explicit StreamFile(FILE* stream) : stream_(stream) {}

 private:
  Stream stream_;
};

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Below MAX_PATH a path is passed as given, exactly as the plain API would see it.
std::wstring systemPath(const std::string& path) {
  std::wstring wide = widen(path);
  if (wide.size() < MAX_PATH || startsWith(wide, L"\\\\?\\")) return wide;
  if (startsWith(wide, L"\\\\")) return L"\\\\?\\UNC\\" + wide.substr(2);
  return L"\\\\?\\" + wide;
}

}  // namespace

std::vector<std::string> Win32SetupPlatform::processNames() {
  std::vector<std::string> names;
  HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (raw == INVALID_HANDLE_VALUE) return names;
  KernelHandle snapshot(raw);

  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  // NOLINTNEXTLINE(bugprone-infinite-loop): the step assigns `more`
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    names.push_back(narrow(entry.szExeFile));
  }
  return names;
}

std::unique_ptr<OpenFile> Win32SetupPlatform::openForWriting(const std::string& path) {
  FILE* stream = _wfopen(systemPath(path).c_str(), L"w");
  if (stream == nullptr) return nullptr;
  return std::make_unique<StreamFile>(stream);
}

bool Win32SetupPlatform::removeFile(const std::string& path) { return DeleteFileW(systemPath(path).c_str()) != 0; }

bool Win32SetupPlatform::fileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string Win32SetupPlatform::modulePath() {
  // The call truncates silently when the buffer is short, so grow it until the path fits with room to spare.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return narrow(buffer);
    }
    if (buffer.size() >= 32768) return {};  // beyond the longest path Windows has
    buffer.resize(buffer.size() * 2);
  }
}

bool Win32SetupPlatform::makeFolder(const std::string& path) {
  return CreateDirectoryW(systemPath(path).c_str(), nullptr) != 0;
}

bool Win32SetupPlatform::copyFile(const std::string& source, const std::string& destination) {
  return CopyFileW(systemPath(source).c_str(), systemPath(destination).c_str(), FALSE) != 0;
}

RunResult Win32SetupPlatform::runSystemTool(const std::string& tool, const std::string& arguments, unsigned timeoutMs) {
  // By bare name, Windows would look in the program's own folder first, where anyone who can drop a file beside
  // the installer (a download folder) would have it run with the installer's rights; so the tool is started by
  // its full path. GetSystemDirectory, not GetSystemWow64Directory: a 32-bit program on 64-bit Windows is told
  // "...\System32", which the file-system redirector maps to SysWOW64 for it, so the 32-bit regsvr32 starts, the
  // one that can load a 32-bit control; a 64-bit build gets the 64-bit tool for a 64-bit control, and 32-bit
  // Windows has only the one folder, where GetSystemWow64Directory would fail.
  const UINT length = GetSystemDirectoryW(nullptr, 0);  // includes the terminating null
  if (length == 0) return RunResult::kNotStarted;
  std::wstring program(length, L'\0');
  if (GetSystemDirectoryW(program.data(), length) != length - 1) return RunResult::kNotStarted;
  program.resize(length - 1);
  program += L"\\" + widen(tool) + L".exe";

  // With the program given apart, the command line is only what the tool reads as its own: no search happens.
  std::wstring commandLine = widen(tool + " " + arguments);  // CreateProcessW may write into its command line
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    return RunResult::kNotStarted;
  }
  KernelHandle process(started.hProcess);
  KernelHandle thread(started.hThread);
  HWND window = dialog_ != nullptr ? dialog_->handle() : nullptr;
  return waitDispatchingMessages(process.get(), timeoutMs, window) ? RunResult::kFinished : RunResult::kTimedOut;
}

bool Win32SetupPlatform::classesKeyOpens(const std::string& subKey) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, widen(subKey).c_str(), 0, MAXIMUM_ALLOWED, &raw) != ERROR_SUCCESS) {
    return false;
  }
  RegistryKey key(raw);
  return true;
}

void Win32SetupPlatform::setStatus(const std::string& text) {
  if (dialog_ != nullptr) dialog_->setItemText(IDC_STATUS_LINE, text);
}

void Win32SetupPlatform::showMessage(const std::string& text) {
  if (dialog_ != nullptr) {
    dialog_->messageBox(text);
  } else {
    MessageBoxW(nullptr, widen(text).c_str(), widen(kApplicationTitle).c_str(), MB_OK);
  }
}

}  // namespace control_setup

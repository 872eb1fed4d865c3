// The operating-system services the install and uninstall procedures need, behind one interface so the
// procedures run unchanged against Windows and against a recording fake in tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace control_setup {

// Outcome of starting a program and waiting for it.
enum class RunResult {
  kNotStarted,  // the program could not be started
  kFinished,    // the program started and ended within the time allowed
  kTimedOut,    // the program started and was still running when the wait ran out; it is left running
};

// A file held open for writing; closing happens in the destructor.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
};

// All paths and texts are UTF-8. No method throws; failures come back as the documented results.
class SetupPlatform {
 public:
  virtual ~SetupPlatform() = default;

  // Executable names (file name only, as the system reports them) of every running process.
  virtual std::vector<std::string> processNames() = 0;

  // Creates or truncates `path` and keeps it open until the result is destroyed; null when it cannot be opened.
  virtual std::unique_ptr<OpenFile> openForWriting(const std::string& path) = 0;

  // Removes a file; true on success.
  virtual bool removeFile(const std::string& path) = 0;

  virtual bool fileExists(const std::string& path) = 0;

  // Full path of the running program, of any length; empty when the system cannot tell.
  virtual std::string modulePath() = 0;

  // Creates one folder; true on success, false also when it already exists.
  virtual bool makeFolder(const std::string& path) = 0;

  // Copies `source` to `destination`, overwriting an existing file; true on success.
  virtual bool copyFile(const std::string& source, const std::string& destination) = 0;

  // Starts the system's own program `tool` (a file name without ".exe", such as "regsvr32") from the system
  // folder, never from the program's folder or the search path, with the command line "<tool> <arguments>" and
  // no visible window, and waits up to `timeoutMs` for it to end. The dialog keeps answering while it waits.
  virtual RunResult runSystemTool(const std::string& tool, const std::string& arguments, unsigned timeoutMs) = 0;

  // True when the key `subKey` under HKEY_CLASSES_ROOT exists and can be opened.
  virtual bool classesKeyOpens(const std::string& subKey) = 0;

  // Replaces the text of the dialog's status line.
  virtual void setStatus(const std::string& text) = 0;

  // Shows a modal message box with an OK button and the application's title as caption.
  virtual void showMessage(const std::string& text) = 0;
};

}  // namespace control_setup

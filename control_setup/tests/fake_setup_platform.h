// A SetupPlatform for host tests: keeps a log of every call in order, and fails or answers as a test sets it up.
// Running the registration tool behaves like a working regsvr32 unless told otherwise: "/c" creates the key,
// "/u" removes it.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "setup_platform.h"

namespace control_setup {

class FakeSetupPlatform : public SetupPlatform {
 public:
  std::vector<std::string> processNames() override;
  std::unique_ptr<OpenFile> openForWriting(const std::string& path) override;
  bool removeFile(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  std::string modulePath() override;
  bool makeFolder(const std::string& path) override;
  bool copyFile(const std::string& source, const std::string& destination) override;
  RunResult runHidden(const std::string& commandLine, unsigned timeoutMs) override;
  bool classesKeyOpens(const std::string& subKey) override;
  void setStatus(const std::string& text) override;
  void showMessage(const std::string& text) override;

  // Every call, e.g. "copy a -> b", "run regsvr32 ... (60000 ms)", "status Register OCX success".
  std::vector<std::string> log;
  // Only the "copy" lines of the log, as "source -> destination".
  std::vector<std::string> copies() const;
  // The status lines written, in order.
  std::vector<std::string> statuses() const;

  // What the test machine looks like.
  std::vector<std::string> processes = {"System", "explorer.exe"};
  std::string programPath = "E:\\Setup\\ControlSetup.exe";
  bool rootOfCWritable = true;
  std::set<std::string> failingCopies;  // destinations whose copy fails
  std::set<std::string> existingFiles;  // answers to fileExists
  RunResult runResult = RunResult::kFinished;
  bool toolChangesKey = true;  // false: the tool runs but leaves the key as it was
  bool keyExists = false;

  // Files created through openForWriting and not removed since.
  std::set<std::string> filesLeft;
  int openProbes = 0;
};

}  // namespace control_setup

// A SetupPlatform for host tests: logs every call in order, and fails or answers as the test sets it up.
// Its registration tool behaves like a working regsvr32 unless told otherwise: "/c" creates the key, "/u"
// removes it.
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
  RunResult runSystemTool(const std::string& tool, const std::string& arguments, unsigned timeoutMs) override;
  bool classesKeyOpens(const std::string& subKey) override;
  void setStatus(const std::string& text) override;
  void showMessage(const std::string& text) override;

  // Log lines such as "copy a -> b" or "status Register OCX success"; `linesAfter("copy ")` gives "a -> b".
  std::vector<std::string> log;
  std::vector<std::string> linesAfter(const std::string& prefix) const;
  std::vector<std::string> copies() const { return linesAfter("copy "); }
  std::vector<std::string> statuses() const { return linesAfter("status "); }
  bool logged(const std::string& line) const;

  std::vector<std::string> processes = {"System", "explorer.exe"};
  std::string programPath = "E:\\Setup\\ControlSetup.exe";
  bool rootOfCWritable = true;
  std::set<std::string> failingCopies;  // destinations whose copy fails
  std::set<std::string> existingFiles;  // what fileExists finds
  RunResult runResult = RunResult::kFinished;
  bool toolChangesKey = true;  // false: the tool runs but leaves the key as it was
  bool keyExists = false;
  std::set<std::string> filesLeft;  // created through openForWriting and not removed since
};

}  // namespace control_setup

// Recording fake of the installer's platform.
#include "fake_setup_platform.h"

#include <algorithm>

namespace control_setup {
namespace {

class FakeOpenFile : public OpenFile {
 public:
  FakeOpenFile(std::vector<std::string>& log, std::string path) : log_(log), path_(std::move(path)) {}
  ~FakeOpenFile() override { log_.push_back("close " + path_); }

 private:
  std::vector<std::string>& log_;
  std::string path_;
};

}  // namespace

std::vector<std::string> FakeSetupPlatform::processNames() {
  log.push_back("processes");
  return processes;
}

std::unique_ptr<OpenFile> FakeSetupPlatform::openForWriting(const std::string& path) {
  log.push_back("open " + path);
  if (!rootOfCWritable) return nullptr;
  filesLeft.insert(path);
  return std::make_unique<FakeOpenFile>(log, path);
}

bool FakeSetupPlatform::removeFile(const std::string& path) {
  log.push_back("remove " + path);
  return filesLeft.erase(path) > 0;
}

bool FakeSetupPlatform::fileExists(const std::string& path) {
  log.push_back("exists " + path);
  return existingFiles.count(path) > 0;
}

std::string FakeSetupPlatform::modulePath() {
  log.push_back("module path");
  return programPath;
}

bool FakeSetupPlatform::makeFolder(const std::string& path) {
  log.push_back("make folder " + path);
  return true;
}

bool FakeSetupPlatform::copyFile(const std::string& source, const std::string& destination) {
  log.push_back("copy " + source + " -> " + destination);
  return failingCopies.count(destination) == 0;
}

RunResult FakeSetupPlatform::runSystemTool(const std::string& tool, const std::string& arguments, unsigned timeoutMs) {
  log.push_back("run " + tool + " " + arguments + " (" + std::to_string(timeoutMs) + " ms)");
  if (runResult == RunResult::kFinished && toolChangesKey) keyExists = arguments.find(" /u") == std::string::npos;
  return runResult;
}

bool FakeSetupPlatform::classesKeyOpens(const std::string& subKey) {
  log.push_back("open key " + subKey);
  return keyExists;
}

void FakeSetupPlatform::setStatus(const std::string& text) { log.push_back("status " + text); }

void FakeSetupPlatform::showMessage(const std::string& text) { log.push_back("message " + text); }

std::vector<std::string> FakeSetupPlatform::linesAfter(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

bool FakeSetupPlatform::logged(const std::string& line) const {
  return std::find(log.begin(), log.end(), line) != log.end();
}

}  // namespace control_setup

// Install and Uninstall procedures against the recording fake platform.
#include "control_installer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_setup_platform.h"

namespace control_setup {
namespace {

using Lines = std::vector<std::string>;

const char kRegisterC[] = "run regsvr32 C:\\Quillmark\\Quillmark.ocx /s /c (60000 ms)";
const char kRegisterD[] = "run regsvr32 D:\\Quillmark\\Quillmark.ocx /s /c (60000 ms)";
const char kUnregisterC[] = "run regsvr32 C:\\Quillmark\\Quillmark.ocx /s /u (60000 ms)";
const char kUnregisterD[] = "run regsvr32 D:\\Quillmark\\Quillmark.ocx /s /u (60000 ms)";

std::string copyLine(const std::string& name, const std::string& target = "C:\\Quillmark") {
  return "E:\\Setup\\" + name + " -> " + target + "\\" + name;
}

Lines copiesTo(const std::string& target, const Lines& names) {
  Lines lines;
  for (const std::string& name : names) lines.push_back(copyLine(name, target));
  return lines;
}

const Lines kAllFiles = {"qmcodec4.dll", "qmcrt.dll",     "qmcodec4w.dll", "qmtrap.dll", "qmcodec5w.dll",
                         "qmcodec5.dll", "Quillmark.inf", "Quillmark.ocx", "qmlink.dll", "qmrender.dll"};

// How many of the platform calls logged start with `prefix`.
int countWithPrefix(const Lines& log, const std::string& prefix) {
  int count = 0;
  for (const std::string& line : log) count += line.rfind(prefix, 0) == 0;
  return count;
}

TEST(Install, OnWritableCProbesCopiesAllTenFilesInOrderAndRegisters) {
  FakeSetupPlatform platform;
  ControlInstaller installer(platform);
  installer.install();

  Lines expected = {
      "open c:\\tmp-test.txt",    "processes", "module path", "close c:\\tmp-test.txt", "remove c:\\tmp-test.txt",
      "make folder C:\\Quillmark"};
  for (const std::string& name : kAllFiles) expected.push_back("copy " + copyLine(name));
  expected.insert(expected.end(),
                  {kRegisterC, "open key QUILLMARK.QuillmarkCtrl.1\\CLSID", "status Register OCX success"});
  EXPECT_EQ(expected, platform.log);
  EXPECT_TRUE(platform.filesLeft.empty());
  EXPECT_EQ(InstallDrive::kC, installer.installDrive());
}

TEST(Install, WithRootOfCReadOnlyUsesDAndSkipsTheSecondH265Decoder) {
  FakeSetupPlatform platform;
  platform.rootOfCWritable = false;
  ControlInstaller installer(platform);
  installer.install();

  EXPECT_EQ(copiesTo("D:\\Quillmark", {"qmcodec4.dll", "qmcrt.dll", "qmcodec4w.dll", "qmtrap.dll", "qmcodec5.dll",
                                       "Quillmark.inf", "Quillmark.ocx", "qmlink.dll", "qmrender.dll"}),
            platform.copies());
  EXPECT_TRUE(platform.logged("make folder D:\\Quillmark"));
  EXPECT_TRUE(platform.logged(kRegisterD));
  EXPECT_FALSE(platform.logged("remove c:\\tmp-test.txt"));  // nothing was created, so nothing to remove
  EXPECT_EQ(Lines{"Register OCX success"}, platform.statuses());
  EXPECT_EQ(InstallDrive::kD, installer.installDrive());
}

TEST(Install, StopsWithoutRegisteringWhenTheControlCannotBeCopied) {
  FakeSetupPlatform platform;
  platform.rootOfCWritable = false;  // and no drive D: either: every copy there fails
  for (const std::string& name : kAllFiles) platform.failingCopies.insert("D:\\Quillmark\\" + name);
  ControlInstaller installer(platform);
  installer.install();

  const Lines copies = platform.copies();
  ASSERT_FALSE(copies.empty());
  EXPECT_EQ(copyLine("Quillmark.ocx", "D:\\Quillmark"), copies.back());
  EXPECT_EQ(7u, copies.size());  // files 1 to 8 less qmcodec5w.dll; files 9 and 10 never tried
  EXPECT_EQ(Lines{"Cant copy file Quillmark.ocx."}, platform.statuses());
  for (const std::string& line : platform.log) EXPECT_NE(line.rfind("run ", 0), 0u) << line;
  EXPECT_FALSE(platform.keyExists);
}

class InstallWithMissingCompanion : public testing::TestWithParam<std::string> {};

TEST_P(InstallWithMissingCompanion, CopiesTheRestSilentlyAndRegisters) {
  FakeSetupPlatform platform;
  platform.failingCopies.insert("C:\\Quillmark\\" + GetParam());
  ControlInstaller installer(platform);
  installer.install();

  EXPECT_EQ(copiesTo("C:\\Quillmark", kAllFiles), platform.copies());
  EXPECT_EQ(Lines{"Register OCX success"}, platform.statuses());
}

INSTANTIATE_TEST_SUITE_P(EveryFileButTheControl, InstallWithMissingCompanion,
                         testing::Values("qmcodec4.dll", "qmcrt.dll", "qmcodec4w.dll", "qmtrap.dll", "qmcodec5w.dll",
                                         "qmcodec5.dll", "Quillmark.inf", "qmlink.dll", "qmrender.dll"));

// The outcome is judged by the key once the tool has returned; the fake's tool changes the key only when it ran.
TEST(Registration, OutcomeFollowsTheKeyAfterTheToolEnds) {
  struct Case {
    bool install;
    RunResult run;
    bool toolChangesKey;
    bool keyBefore;
    const char* expected;
  };
  const Case cases[] = {
      {true, RunResult::kNotStarted, true, true, "Register OCX fail"},  // an old key is no proof
      {true, RunResult::kFinished, false, false, "Register OCX fail"},
      {true, RunResult::kTimedOut, true, false, "Register OCX fail"},
      {false, RunResult::kFinished, true, true, "Unregister OCX success"},
      {false, RunResult::kFinished, false, false, "Unregister OCX success"},  // never registered
      {false, RunResult::kFinished, false, true, "Unregister OCX fail"},
      {false, RunResult::kNotStarted, true, false, "Unregister OCX fail"},
  };
  for (const Case& c : cases) {
    FakeSetupPlatform platform;
    platform.runResult = c.run;
    platform.toolChangesKey = c.toolChangesKey;
    platform.keyExists = c.keyBefore;
    ControlInstaller installer(platform);
    c.install ? installer.install() : installer.uninstall();
    EXPECT_EQ(Lines{c.expected}, platform.statuses()) << c.expected << " / key before: " << c.keyBefore;
    EXPECT_EQ(c.run != RunResult::kNotStarted, platform.logged("open key QUILLMARK.QuillmarkCtrl.1\\CLSID"));
  }
}

TEST(Install, RunTwiceCopiesAndRegistersAgain) {
  FakeSetupPlatform platform;
  ControlInstaller installer(platform);
  installer.install();
  installer.install();

  Lines twice = copiesTo("C:\\Quillmark", kAllFiles);
  const Lines once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(twice, platform.copies());
  EXPECT_EQ((Lines{"Register OCX success", "Register OCX success"}), platform.statuses());
}

TEST(Install, FromAFolderBeyond260CharactersUsesTheFullUntruncatedPaths) {
  FakeSetupPlatform platform;
  const std::string folder = "E:\\" + std::string(150, 'a') + "\\" + std::string(150, 'b');
  platform.programPath = folder + "\\ControlSetup.exe";
  ControlInstaller installer(platform);
  installer.install();

  const Lines copies = platform.copies();
  ASSERT_EQ(10u, copies.size());
  EXPECT_EQ(folder + "\\qmcodec4.dll -> C:\\Quillmark\\qmcodec4.dll", copies[0]);
  EXPECT_EQ(folder + "\\Quillmark.ocx -> C:\\Quillmark\\Quillmark.ocx", copies[7]);
  EXPECT_EQ(Lines{"Register OCX success"}, platform.statuses());
}

TEST(BrowserCheck, MatchesTheExecutableNameIgnoringCaseOnly) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"iexplore.exe", true},   {"IEXPLORE.EXE", true},   {"IExplore.exe", true},      {"iexplore", false},
      {"iexplore.exe ", false}, {"xiexplore.exe", false}, {"iexplore.exe.bak", false}, {"msedge.exe", false},
  };
  for (const auto& [name, expected] : cases) {
    FakeSetupPlatform platform;
    platform.processes = {"System", name, "explorer.exe"};
    ControlInstaller installer(platform);
    EXPECT_EQ(expected, installer.browserRunning()) << name;
  }
}

TEST(BrowserCheck, RefusesInstallAfterCleaningUpTheProbe) {
  FakeSetupPlatform platform;
  platform.processes = {"System", "IEXPLORE.EXE"};
  ControlInstaller installer(platform);
  installer.install();

  EXPECT_EQ(Lines{"IE window must be close before install ocx."}, platform.statuses());
  EXPECT_TRUE(platform.logged("remove c:\\tmp-test.txt"));  // the probe of drive C: is cleaned up
  EXPECT_TRUE(platform.filesLeft.empty());
  EXPECT_EQ(0, countWithPrefix(platform.log, "copy ") + countWithPrefix(platform.log, "run "));
  EXPECT_FALSE(installer.installDrive().has_value());
}

TEST(BrowserCheck, RefusedInstallKeepsTheDriveOfTheLastInstall) {
  FakeSetupPlatform platform;
  platform.rootOfCWritable = false;
  ControlInstaller installer(platform);
  installer.install();  // to D:

  platform.rootOfCWritable = true;
  platform.processes.push_back("iexplore.exe");
  installer.install();  // refused: must not switch the drive to C:
  EXPECT_TRUE(platform.filesLeft.empty());
  installer.uninstall();

  EXPECT_EQ(InstallDrive::kD, installer.installDrive());
  EXPECT_TRUE(platform.logged(kUnregisterD));
}

TEST(BrowserCheck, WarnsAtStartUpOnlyWhileTheBrowserRuns) {
  FakeSetupPlatform quiet;
  ControlInstaller(quiet).warnIfBrowserRunning();
  EXPECT_EQ(Lines{"processes"}, quiet.log);

  FakeSetupPlatform browsing;
  browsing.processes = {"iexplore.exe"};
  ControlInstaller(browsing).warnIfBrowserRunning();
  EXPECT_EQ((Lines{"processes", "message IE window must be close before install ocx."}), browsing.log);
}

TEST(Uninstall, UsesTheFolderOfThisRunsInstall) {
  for (bool cWritable : {true, false}) {
    FakeSetupPlatform platform;
    platform.rootOfCWritable = cWritable;
    platform.existingFiles = {"C:\\Quillmark\\Quillmark.ocx", "D:\\Quillmark\\Quillmark.ocx"};
    ControlInstaller installer(platform);
    installer.install();
    installer.uninstall();
    EXPECT_TRUE(platform.logged(cWritable ? kUnregisterC : kUnregisterD));
    EXPECT_EQ("Unregister OCX success", platform.statuses().back());
  }
}

TEST(Uninstall, BeforeAnyInstallFindsTheInstalledControl) {
  struct Case {
    std::set<std::string> installed;
    const char* expectedRun;
  };
  const Case cases[] = {
      {{"C:\\Quillmark\\Quillmark.ocx"}, kUnregisterC},
      {{"D:\\Quillmark\\Quillmark.ocx"}, kUnregisterD},
      {{"C:\\Quillmark\\Quillmark.ocx", "D:\\Quillmark\\Quillmark.ocx"}, kUnregisterC},
      {{}, kUnregisterC},
  };
  for (const Case& c : cases) {
    FakeSetupPlatform platform;
    platform.existingFiles = c.installed;
    ControlInstaller installer(platform);
    installer.uninstall();
    EXPECT_TRUE(platform.logged(c.expectedRun)) << c.expectedRun;
    EXPECT_FALSE(installer.installDrive().has_value());  // only Install decides the drive
  }
}

TEST(Uninstall, TouchesNoFilesAndChecksNoBrowser) {
  FakeSetupPlatform platform;
  platform.processes = {"iexplore.exe"};
  platform.existingFiles = {"D:\\Quillmark\\Quillmark.ocx"};
  ControlInstaller(platform).uninstall();
  EXPECT_TRUE(platform.logged(kUnregisterD));
  EXPECT_EQ(Lines{"Unregister OCX success"}, platform.statuses());
  for (const char* prefix : {"open c:", "copy ", "remove ", "make folder ", "processes"}) {
    EXPECT_EQ(0, countWithPrefix(platform.log, prefix)) << prefix;
  }
}

}  // namespace
}  // namespace control_setup

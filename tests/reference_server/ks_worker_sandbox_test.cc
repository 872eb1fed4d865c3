// The sandbox itself, in processes of its own, and the server meeting workers that break out of it, crash,
// hang or talk nonsense (ks_sandbox_probe stands in for the worker program).
#include "ks_worker_sandbox.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks_engine_error.h"
#include "ks_inference_engine.h"
#include "ks_network_registry.h"

namespace ks {
namespace server {
namespace {

// How a child that locks itself down, its channels ending at `lastChannelFd`, and then runs `work` ends:
// "exit N" or "signal N".
std::string endOfConfined(const std::function<void()>& work, int lastChannelFd = 2) {
  const pid_t child = ::fork();
  if (child == 0) {
    SandboxLimits limits;
    limits.fileBytes = 1 << 20;
    limits.lastChannelFd = lastChannelFd;
    lockDown(limits);
    work();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

const std::string kSandboxKill = "signal " + std::to_string(SIGSYS);

TEST(WorkerSandbox, KillsAProcessThatOpensAFileMakesASocketOrRunsAProgram) {
  EXPECT_EQ(kSandboxKill, endOfConfined([] { ::open("/etc/hostname", O_RDONLY); }));
  EXPECT_EQ(kSandboxKill, endOfConfined([] { ::socket(AF_INET, SOCK_STREAM, 0); }));
  EXPECT_EQ(kSandboxKill, endOfConfined([] {
              char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
              ::execv("/bin/true", argv);
            }));
  EXPECT_EQ(kSandboxKill, endOfConfined([] { ::fork(); }));
}

TEST(WorkerSandbox, KillsAProcessThatCutsOrRewindsItsStandardOutputOrError) {
  EXPECT_EQ(kSandboxKill, endOfConfined([] { (void)!::ftruncate(2, 0); }));
  EXPECT_EQ(kSandboxKill, endOfConfined([] { ::lseek(1, 0, SEEK_SET); }));
}

TEST(WorkerSandbox, LeavesComputingAndTalkingOverAHeldSocket) {
  int ends[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends));
  EXPECT_EQ("exit 0", endOfConfined(
                          [&] {
                            std::vector<double> values(1 << 20, 1.5);  // allocates, past the small-block heap
                            double sum = 0;
                            for (double value : values) sum += value;
                            if (::write(ends[1], &sum, sizeof sum) != sizeof sum) ::_exit(1);
                          },
                          std::max(ends[0], ends[1])));
  double sum = 0;
  EXPECT_EQ(static_cast<ssize_t>(sizeof sum), ::read(ends[0], &sum, sizeof sum));
  EXPECT_EQ(1.5 * (1 << 20), sum);
  ::close(ends[0]);
  ::close(ends[1]);
}

// A registry whose workers are the probe; `quarantineAfter` ends in a row quarantine a network.
EngineOptions probeOptions() {
  EngineOptions options;
  options.workerProgram = KS_SANDBOX_PROBE;
  // Long enough for a probe to meet its end on a busy machine, short enough for the one that hangs.
  options.loadTimeout = std::chrono::milliseconds(3000);
  return options;
}

// "<kind>: <text>" of what loading `bytes` throws.
std::string loadError(NetworkRegistry& networks, const std::string& bytes) {
  try {
    networks.load(bytes);
  } catch (const EngineError& e) {
    return (e.kind() == EngineError::Kind::kWorkerLost    ? "lost: "
            : e.kind() == EngineError::Kind::kQuarantined ? "quarantined: "
                                                          : "other: ") +
           std::string(e.what());
  }
  return "<loaded>";
}

TEST(WorkerContainment, NamesHowEachWorkerEndedAndGoesOn) {
  NetworkRegistry networks(probeOptions());
  const std::string process = "lost: the engine process running the network ";
  EXPECT_EQ(process + "was killed by its sandbox (signal 31, SIGSYS): the network tried a system call it forbids",
            loadError(networks, "open"));
  EXPECT_EQ(process + "crashed (signal 11, SIGSEGV)", loadError(networks, "crash"));
  EXPECT_EQ(process + "crashed (signal 6, SIGABRT)", loadError(networks, "abort"));
  EXPECT_EQ(process + "was killed: it broke the protocol", loadError(networks, "garbage"));
  EXPECT_EQ(
      "lost: the engine process loading the network did not finish within the 3 s a load may take, and was killed",
      loadError(networks, "hang"));
  EXPECT_EQ("<loaded>", loadError(networks, "fine"));
  const WorkerCounts counts = networks.workerCounts();
  EXPECT_EQ(6u, counts.started);
  EXPECT_EQ(1u, counts.ended.at(WorkerEnd::kSandbox));
  EXPECT_EQ(2u, counts.ended.at(WorkerEnd::kCrashed));
  EXPECT_EQ(1u, counts.ended.at(WorkerEnd::kMisbehaved));
  EXPECT_EQ(1u, counts.ended.at(WorkerEnd::kTimedOut));
}

TEST(WorkerContainment, AWorkerThatPlacesAnOutputOutsideItsRegionIsKilledAndNamed) {
  EngineOptions options = probeOptions();
  options.runsAtOnce = 1;
  NetworkRegistry networks(options);
  const InferenceEngine engine(networks.load("lie"), {}, {});
  Tensor input(TensorLayout(TensorDataType::kFloat32, TensorFormat::kPlain, TensorSize{1}, TensorSize(),
                            TensorChannelOrder::kNone));
  std::vector<Tensor> outputs;
  try {
    engine.runTimed({input}, 0, outputs);
    ADD_FAILURE() << "the lie was believed";
  } catch (const EngineError& e) {
    EXPECT_EQ(EngineError::Kind::kWorkerLost, e.kind());
    EXPECT_STREQ("the engine process running the network was killed: it broke the protocol", e.what());
  }
  // Once in the worker the run shared, once in the one it ran alone in, which proved it the cause.
  EXPECT_EQ(2u, networks.workerCounts().ended.at(WorkerEnd::kMisbehaved));
}

TEST(WorkerContainment, QuarantinesANetworkThatEndsWorkersInARowAndNoOther) {
  EngineOptions options = probeOptions();
  options.quarantineAfter = 3;
  NetworkRegistry networks(options);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, loadError(networks, "crash").rfind("lost: ", 0));
  const std::string refused = loadError(networks, "crash");
  EXPECT_EQ(0u, refused.rfind("quarantined: the network is quarantined: it ended 3 engine processes in a row, and is "
                              "refused for another ",
                              0))
      << refused;
  EXPECT_EQ(3u, networks.workerCounts().started);
  EXPECT_EQ(1u, networks.workerCounts().quarantines);
  EXPECT_EQ("<loaded>", loadError(networks, "fine"));
}

}  // namespace
}  // namespace server
}  // namespace ks

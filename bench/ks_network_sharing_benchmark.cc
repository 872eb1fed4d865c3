// Server memory, its worker processes included, when many sessions load the same network: once with
// byte-identical uploads (which the server runs in one worker) and once with uploads that differ in one
// trailing protobuf field (the same network to the engine, but distinct bytes, so one worker each: what
// the server did before it shared). Each case runs in a fresh child process holding an in-process server and the
// clients.
//
//   ks_network_sharing_benchmark NETWORK.onnx [SESSIONS]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ks_inference_server.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "support/peak_memory.h"

namespace {

// The model with its doc_string (ModelProto field 6) set once more at the end: protobuf keeps the last
// value, so the network is unchanged while the bytes differ.
std::string withDocString(const std::string& model, const std::string& text) {
  return model + static_cast<char>(6 << 3 | 2) + static_cast<char>(text.size()) + text;
}

// Resident bytes of this process and of the processes it started (the server's workers).
size_t residentWithChildren() {
  size_t total = ks::testing::statusBytes("VmRSS:");
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream children(task.path() / "children");
    pid_t child = 0;
    while (children >> child) {
      std::ifstream status("/proc/" + std::to_string(child) + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) total += std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
      }
    }
  }
  return total;
}

// Resident bytes of a server, its workers included, after `sessions` clients each loaded their file of
// `files`.
size_t residentAfterLoads(const std::vector<std::string>& files) {
  ks::server::InferenceServerOptions options;
  options.service.maxSessions = files.size() + 1;
  options.service.clientSharePercent = 100;  // every client is this machine
  options.service.engine.workerProgram = KS_WORKER_PROGRAM;
  ks::server::InferenceServer server(options);
  const int port = server.start();
  std::vector<std::unique_ptr<ks::RemoteNetBackend>> clients;
  for (const std::string& file : files) {
    clients.push_back(
        std::make_unique<ks::RemoteNetBackend>("127.0.0.1", port, ks::BackendId::kCpu, ks::DeviceType::kCpu, 0));
    clients.back()->load(file, {}, {}, "", "");
  }
  return residentWithChildren();
}

// Runs residentAfterLoads in a child process and returns its figure (0 on failure).
size_t measure(const std::vector<std::string>& files) {
  int channel[2];
  if (pipe(channel) != 0) return 0;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    size_t bytes = 0;
    try {
      bytes = residentAfterLoads(files);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    (void)!write(channel[1], &bytes, sizeof bytes);
    _exit(0);
  }
  close(channel[1]);
  size_t bytes = 0;
  if (read(channel[0], &bytes, sizeof bytes) != sizeof bytes) bytes = 0;
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s NETWORK.onnx [SESSIONS]\n", argv[0]);
    return 1;
  }
  const int sessions = argc > 2 ? std::atoi(argv[2]) : 32;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string model((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (model.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  char folder[] = "/tmp/ks_sharing_XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  std::vector<std::string> identical, distinct;
  for (int i = 0; i < sessions; ++i) {
    identical.push_back(std::string(folder) + "/identical.onnx");
    distinct.push_back(std::string(folder) + "/distinct_" + std::to_string(i) + ".onnx");
    std::ofstream(distinct.back(), std::ios::binary) << withDocString(model, "session " + std::to_string(i));
  }
  std::ofstream(identical.front(), std::ios::binary) << model;

  const size_t one = measure({identical.front()});
  const size_t shared = measure(identical);
  const size_t separate = measure(distinct);
  std::printf("| sessions | network | server and workers RSS |\n|---|---|---|\n");
  std::printf("| 1 | %.1f MB | %.0f MB |\n", model.size() / 1e6, one / 1e6);
  std::printf("| %d, a worker each (distinct bytes) | %.1f MB | %.0f MB |\n", sessions, model.size() / 1e6,
              separate / 1e6);
  std::printf("| %d, byte-identical, one shared worker | %.1f MB | %.0f MB |\n", sessions, model.size() / 1e6,
              shared / 1e6);
  std::printf("\nShared: %.2fx the memory of a worker per client.\n",
              separate ? static_cast<double>(shared) / static_cast<double>(separate) : 0.0);
  std::filesystem::remove_all(folder);
  return shared != 0 && separate != 0 ? 0 : 1;
}

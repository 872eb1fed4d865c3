// End-to-end round trips on loopback: ks::RemoteNetBackend against the reference server running an identity
// network, beside the floor of the HTTP library (a plain POST of a body as long as the request message,
// echoed back by a bare server) and a Python client using only its standard library. Also the median round
// trip of a small forward and the time and peak memory of uploading a large network file.
// A measuring tool: prints "name value" lines, asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "bench_tensor.h"
#include "ks_command_line.h"
#include "ks_core/ks_core.h"
#include "ks_inference_request.h"
#include "ks_inference_server.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "support/peak_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Median seconds of `runs` calls of `work`, after one call to warm up.
double median(int runs, const std::function<void()>& work) {
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    work();
    times.push_back(seconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A bare cpp-httplib server on loopback, serving on its own thread until destroyed.
class BareServer {
 public:
  httplib::Server& http() { return server_; }
  int start() {
    const int port = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    return port;
  }
  ~BareServer() {
    if (!thread_.joinable()) return;
    while (!server_.is_running()) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
};

struct Options {
  std::string largeNet;
  int32_t largeElements = 4 << 20;
  std::string smallNet;
  int32_t smallElements = 256;
  std::string pythonClient;
  int runs = 10;
  size_t uploadBytes = 64u << 20;
};

Options parse(int argc, char** argv) {
  Options options;
  const auto take = [&](std::string_view name, const char* value) {
    if (name == "large-net")
      options.largeNet = value;
    else if (name == "large-elements")
      options.largeElements = std::atoi(value);
    else if (name == "small-net")
      options.smallNet = value;
    else if (name == "small-elements")
      options.smallElements = std::atoi(value);
    else if (name == "python-client")
      options.pythonClient = value;
    else if (name == "runs")
      options.runs = std::atoi(value);
    else if (name == "upload-mib")
      options.uploadBytes = std::strtoull(value, nullptr, 10) << 20;
    return true;
  };
  ks::readCommandLineOrExit("ks_e2e_benchmark", argc, argv,
                            {{"large-net", true},
                             {"large-elements", true},
                             {"small-net", true},
                             {"small-elements", true},
                             {"python-client", true},
                             {"runs", true},
                             {"upload-mib", true}},
                            take);
  return options;
}

void report(const char* name, double value) { std::printf("%s %.6g\n", name, value); }

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (options.largeNet.empty() || options.smallNet.empty()) {
    std::fprintf(stderr,
                 "usage: %s --large-net FILE [--large-elements N] --small-net FILE [--small-elements N]"
                 " [--python-client FILE] [--runs N] [--upload-mib N]\n",
                 argv[0]);
    return 1;
  }
  ks::server::InferenceServerOptions serverOptions;
  serverOptions.service.engine.workerProgram = KS_WORKER_PROGRAM;
  ks::server::InferenceServer server(serverOptions);
  const int port = server.start();

  // Our client, 16 MiB in and out.
  const ks::Tensor large = ks::bench::floatTensor(options.largeElements);
  ks::InferenceRequest request;
  request.input_tensors = {large};
  const size_t requestBytes = ks::inferenceRequestToJson(request).size();
  double forward = 0;
  {
    ks::RemoteNetBackend backend("127.0.0.1", port, ks::BackendId::kCpu, ks::DeviceType::kCpu, 0);
    backend.load(options.largeNet, {"input"}, {"output"}, "", "");
    std::vector<ks::Tensor> outputs;
    forward = median(options.runs, [&] { backend.forward({large}, outputs); });
    if (std::memcmp(outputs.at(0).data(), large.data(), large.layout().byteSize()) != 0) {
      std::fprintf(stderr, "identity network returned other bytes\n");
      return 1;
    }
    const ks::testing::Peak peak = ks::testing::peakOf([&] {
      std::vector<ks::Tensor> out;
      backend.forward({large}, out);
    });
    report("forward_large_peak_resident_mib", peak.resident / 1048576.0);
  }
  report("tensor_bytes", large.layout().byteSize());
  report("request_bytes", requestBytes);
  report("forward_large_s", forward);

  // The floor: the same number of bytes each way through cpp-httplib alone.
  {
    BareServer echo;
    echo.http().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.body, "application/json");
    });
    httplib::Client client("127.0.0.1", echo.start());
    const std::string body(requestBytes, 'A');
    report("floor_large_s", median(options.runs, [&] { client.Post("/echo", body, "application/json"); }));
  }

  // Python's standard library against the same server.
  if (!options.pythonClient.empty()) {
    const std::string command = "/usr/bin/python3 " + options.pythonClient + " --port " + std::to_string(port) +
                                " --net " + options.largeNet + " --elements " + std::to_string(options.largeElements) +
                                " --runs 5";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      double python = 0;
      if (std::fscanf(pipe, "%lf", &python) == 1) report("python_large_s", python);
      pclose(pipe);
    }
  }

  // A small forward's round trip.
  {
    const ks::Tensor small = ks::bench::floatTensor(options.smallElements);
    ks::RemoteNetBackend backend("127.0.0.1", port, ks::BackendId::kCpu, ks::DeviceType::kCpu, 0);
    backend.load(options.smallNet, {"input"}, {"output"}, "", "");
    std::vector<ks::Tensor> outputs;
    report("small_tensor_bytes", small.layout().byteSize());
    report("forward_small_median_s", median(200, [&] { backend.forward({small}, outputs); }));
  }
  server.stop();

  // Uploading a large network file: the client's own work and memory, against a server that takes it.
  {
    BareServer accepting;
    accepting.http().Get("/session", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"session_id":"upload"})", "application/json");
    });
    accepting.http().Post("/net", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"status":true,"text":""})", "application/json");
    });
    accepting.http().Get("/net", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"input_layouts":[],"output_layouts":[]})", "application/json");
    });
    const int uploadPort = accepting.start();
    const std::string path = "/tmp/ks_e2e_upload_" + std::to_string(getpid()) + ".bin";
    {
      std::string bytes(options.uploadBytes, '\0');
      std::mt19937 random(5);
      for (char& c : bytes) c = static_cast<char>(random());
      std::ofstream(path, std::ios::binary) << bytes;
    }
    const ks::testing::Peak peak = ks::testing::peakOf([&] {
      ks::RemoteNetBackend backend("127.0.0.1", uploadPort, ks::BackendId::kCpu, ks::DeviceType::kCpu, 0);
      backend.load(path, {}, {}, "", "");
    });
    std::remove(path.c_str());
    report("upload_bytes", options.uploadBytes);
    report("upload_s", peak.seconds);
    report("upload_peak_resident_mib", peak.resident / 1048576.0);
    report("upload_peak_reserved_mib", peak.reserved / 1048576.0);
  }
  return 0;
}

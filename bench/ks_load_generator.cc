// Load generator: client threads sending small inferences as fast as they can for a fixed time, over a new
// connection per request (as the client library makes them) or over kept connections (as nginx's upstream
// keepalive and pooling clients make them), against a server under test and, in the same run, against a
// bare cpp-httplib server that answers a fixed reply of the same size (the floor). Prints requests/s and
// p50/p99 latency per pattern and client count as markdown tables; with --slow-net, then the latency of one
// client beside sessions whose runs take seconds, against its latency alone.
// Speaks HTTP/1.1 over its own sockets, so any server that speaks the protocol can be measured.
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_tensor.h"
#include "ks_command_line.h"
#include "ks_core/ks_base64.h"
#include "ks_core/ks_tensor.h"
#include "ks_endpoints.h"
#include "ks_floor_server.h"
#include "ks_http_connection.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"
#include "support/ks_server_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using ks::bench::ExchangeOutcome;
using ks::bench::HttpConnection;
using ks::bench::ServerAddress;

const char kUsage[] =
    "usage: ks_load_generator --net FILE (--server HOST:PORT | --server-program PATH) [options]\n"
    "  --net FILE            network every client loads (default workload: identity.onnx of make_models.py)\n"
    "  --elements N          float32 elements of the input tensor, shape [1,N] (default 256)\n"
    "  --server HOST:PORT    measure a server that is already running\n"
    "  --server-program PATH start this server with --port 0 on a free port and measure it\n"
    "  --server-arg ARG      one more argument for that server (repeatable)\n"
    "  --server-log FILE     where that server's standard error goes (default /dev/null)\n"
    "  --clients LIST        client thread counts, comma-separated (default 1,8,32,128)\n"
    "  --patterns LIST       fresh (a new connection per request), keep-alive, or both (default fresh,keep-alive)\n"
    "  --seconds S           length of each run (default 5)\n"
    "  --timeout-ms N        limit on connecting and on each wait for reply bytes (default 10000)\n"
    "  --no-floor            skip the bare cpp-httplib server\n"
    "  --slow-net FILE       then measure one client on --net alone and beside 8 sessions running this\n"
    "                        network (slow.onnx of make_models.py) about 2 s a run\n";

enum class Pattern { kFresh, kKeepAlive };

const char* patternName(Pattern pattern) {
  return pattern == Pattern::kFresh ? "new connection per request" : "keep-alive";
}

struct Options {
  std::string server;
  std::string serverProgram;
  std::vector<std::string> serverArguments;
  std::string serverLog = "/dev/null";
  std::string net;
  int32_t elements = 256;
  std::vector<int> clients = {1, 8, 32, 128};
  std::vector<Pattern> patterns = {Pattern::kFresh, Pattern::kKeepAlive};
  double seconds = 5.0;
  std::chrono::milliseconds timeout{10000};
  bool floor = true;
  std::string slowNet;
};

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(',', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) items.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return items;
}

long positive(const std::string& option, const std::string& text, long maximum) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1 || value > maximum) {
    throw std::invalid_argument(option + " needs a whole number from 1 to " + std::to_string(maximum) + ", not '" +
                                text + "'");
  }
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  const auto take = [&](std::string_view name, const char* text) {
    if (name == "no-floor") {
      options.floor = false;
      return true;
    }
    const std::string option = "--" + std::string(name);
    const std::string value = text;
    if (name == "net") {
      options.net = value;
    } else if (name == "elements") {
      options.elements = static_cast<int32_t>(positive(option, value, 1 << 24));
    } else if (name == "server") {
      options.server = value;
    } else if (name == "server-program") {
      options.serverProgram = value;
    } else if (name == "server-arg") {
      options.serverArguments.push_back(value);
    } else if (name == "server-log") {
      options.serverLog = value;
    } else if (name == "clients") {
      options.clients.clear();
      for (const std::string& item : splitList(value))
        options.clients.push_back(static_cast<int>(positive(option, item, 4096)));
    } else if (name == "patterns") {
      options.patterns.clear();
      for (const std::string& item : splitList(value)) {
        if (item == "fresh")
          options.patterns.push_back(Pattern::kFresh);
        else if (item == "keep-alive")
          options.patterns.push_back(Pattern::kKeepAlive);
        else
          throw std::invalid_argument("--patterns takes fresh and keep-alive, not '" + item + "'");
      }
    } else if (name == "seconds") {
      char* end = nullptr;
      options.seconds = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(options.seconds > 0.0 && options.seconds <= 3600.0)) {
        throw std::invalid_argument("--seconds needs a number above 0 and at most 3600, not '" + value + "'");
      }
    } else if (name == "timeout-ms") {
      options.timeout = std::chrono::milliseconds(positive(option, value, 3600000));
    } else if (name == "slow-net") {
      options.slowNet = value;
    }
    return true;
  };
  ks::readCommandLine<std::invalid_argument>(argc, argv,
                                             {{"no-floor", false},
                                              {"net", true},
                                              {"elements", true},
                                              {"server", true},
                                              {"server-program", true},
                                              {"server-arg", true},
                                              {"server-log", true},
                                              {"clients", true},
                                              {"patterns", true},
                                              {"seconds", true},
                                              {"timeout-ms", true},
                                              {"slow-net", true}},
                                             take);
  if (options.net.empty()) throw std::invalid_argument("--net is required");
  if (options.server.empty() == options.serverProgram.empty()) {
    throw std::invalid_argument("give either --server or --server-program");
  }
  if (options.clients.empty() || options.patterns.empty()) throw std::invalid_argument("nothing to run");
  return options;
}

// A whole request, head and body, as it goes out in one send.
std::string httpRequest(ks::Endpoint call, const std::string& session, const ServerAddress& endpoint,
                        const std::string& body, bool closeAfter) {
  const char* method = ks::infoOf(call).method;
  std::string request = std::string(method) + " " + ks::requestTarget(call, session) +
                        " HTTP/1.1\r\nHost: " + endpoint.hostHeader + "\r\n";
  if (std::strcmp(method, "POST") == 0) {
    request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  if (closeAfter) request += "Connection: close\r\n";
  request += "\r\n";
  request += body;
  return request;
}

// One exchange while setting up, on a connection of its own. Returns the body of a 200 reply; throws
// std::runtime_error naming `what` otherwise.
std::string setupExchange(const ServerAddress& endpoint, std::chrono::milliseconds timeout, const std::string& request,
                          const std::string& what) {
  HttpConnection connection(endpoint, timeout);
  switch (connection.exchange(request)) {
    case ExchangeOutcome::kReply: break;
    case ExchangeOutcome::kConnectFailed: throw std::runtime_error(what + ": cannot connect to " + endpoint.hostHeader);
    case ExchangeOutcome::kTimedOut:
      throw std::runtime_error(what + ": no reply from " + endpoint.hostHeader + " within the timeout");
    case ExchangeOutcome::kConnectionLost:
      throw std::runtime_error(what + ": the connection to " + endpoint.hostHeader + " was lost");
    case ExchangeOutcome::kMalformed: throw std::runtime_error(what + ": the reply is not HTTP/1.1");
  }
  if (connection.reply().status != 200) {
    throw std::runtime_error(what + ": HTTP " + std::to_string(connection.reply().status) + " " +
                             connection.reply().body);
  }
  return connection.reply().body;
}

std::string fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The body of a request that loads the network file at `path`, built with the project's codec.
std::string loadRequestBody(const std::string& path) {
  const std::string netFile = fileBytes(path);
  ks::NetLoadRequest load;
  load.net.resize(ks::base64EncodedLength(netFile.size()) + 1, '\0');
  ks::encodeBase64To(reinterpret_cast<const unsigned char*>(netFile.data()), netFile.size(), load.net.data());
  return ks::loadRequestToJson(load);
}

// A server being measured and the sessions its clients use, one per client.
struct Target {
  std::string name;
  ServerAddress endpoint;
  std::vector<std::string> sessions;
  ks::testing::ServerProcess* process = nullptr;  // when we started it: its processor time is known
  bool inProcess = false;                         // the floor: its processor time is ours minus the clients'
};

// Opens `count` sessions and loads the network into each. Throws std::runtime_error for any refusal.
void openSessions(Target& target, size_t count, const std::string& loadBody, std::chrono::milliseconds timeout) {
  for (size_t i = 0; i < count; ++i) {
    const std::string reply =
        setupExchange(target.endpoint, timeout, httpRequest(ks::Endpoint::kSessionNew, "", target.endpoint, "", true),
                      "open a session");
    std::string id;
    ks::sessionReplyFromJson(id, reply.c_str());
    const std::string loaded =
        setupExchange(target.endpoint, timeout, httpRequest(ks::Endpoint::kLoad, id, target.endpoint, loadBody, true),
                      "load the network");
    ks::StatusMessage status;
    if (ks::statusFromJson(status, loaded.c_str()) && !status.status) {
      throw std::runtime_error("load the network: " + status.text);
    }
    target.sessions.push_back(id);
  }
}

void closeSessions(const Target& target, std::chrono::milliseconds timeout) {
  for (const std::string& id : target.sessions) {
    HttpConnection connection(target.endpoint, timeout);
    connection.exchange(httpRequest(ks::Endpoint::kSessionDelete, id, target.endpoint, "", true));
  }
}

// The system's load average over the last minute, as /proc/loadavg gives it; "?" when unreadable.
std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string first;
  return file >> first ? first : "?";
}

double threadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct RunResult {
  double window = 0;     // seconds in which requests were sent
  double elapsed = 0;    // seconds until the last reply, or failure, of a request sent in the window
  long ok = 0;           // successful requests
  long okInWindow = 0;   // successful requests whose reply was whole before the window closed
  long httpErrors = 0;   // a whole reply with a status other than 200
  long malformed = 0;    // a reply that broke the framing, or a 200 whose body is not a JSON object
  long connect = 0;      // no connection could be made
  long timedOut = 0;     // no reply byte for the whole timeout
  long lost = 0;         // a connection closed or reset before the reply was whole
  long connections = 0;  // connections opened
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
  double clientCpu = 0;          // processor seconds of the client threads
  double serverCpu = -1;         // processor seconds of the server; negative when unknown
  double busiestThreadCpu = -1;  // of its busiest thread: a thread that takes a whole processor bounds it
  double childrenCpu = -1;       // of the processes it started (its workers)
  long errors() const { return httpErrors + malformed + connect + timedOut + lost; }
  double requestsPerSecond() const { return static_cast<double>(okInWindow) / window; }
};

// A 200 reply whose body, after any leading white space, starts a JSON object: cheap enough to check on
// every reply without the check becoming the load.
bool looksLikeObject(const std::string& body) {
  const size_t first = body.find_first_not_of(" \t\r\n");
  return first != std::string::npos && body[first] == '{';
}

// The value below which `fraction` of the sorted `values` lie (nearest rank).
double percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0.0;
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), sorted.size());
  return sorted[rank - 1];
}

RunResult runLoad(const Target& target, Pattern pattern, int clients, const Options& options,
                  const std::string& inferenceBody) {
  struct ClientTally {
    std::vector<double> latencies;
    long okInWindow = 0;
    long httpErrors = 0, malformed = 0, connect = 0, timedOut = 0, lost = 0, connections = 0;
    double cpu = 0;
  };
  std::vector<ClientTally> tallies(static_cast<size_t>(clients));
  std::mutex mutex;
  std::condition_variable started;
  bool go = false;
  Clock::time_point deadline;

  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(clients));
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      ClientTally& tally = tallies[static_cast<size_t>(c)];
      tally.latencies.reserve(1 << 14);
      const std::string& session = target.sessions[static_cast<size_t>(c) % target.sessions.size()];
      const std::string request =
          httpRequest(ks::Endpoint::kInference, session, target.endpoint, inferenceBody, pattern == Pattern::kFresh);
      HttpConnection connection(target.endpoint, options.timeout);
      Clock::time_point end;
      {
        std::unique_lock<std::mutex> lock(mutex);
        started.wait(lock, [&] { return go; });
        end = deadline;
      }
      const double cpuBefore = threadCpuSeconds();
      while (Clock::now() < end) {
        const Clock::time_point sent = Clock::now();
        const ExchangeOutcome outcome = connection.exchange(request);
        const Clock::time_point received = Clock::now();
        const double ms = std::chrono::duration<double, std::milli>(received - sent).count();
        if (pattern == Pattern::kFresh) connection.close();
        if (outcome == ExchangeOutcome::kReply) {
          if (connection.reply().status != 200)
            ++tally.httpErrors;
          else if (!looksLikeObject(connection.reply().body))
            ++tally.malformed;
          else {
            tally.latencies.push_back(ms);
            if (received <= end) ++tally.okInWindow;
          }
        } else if (outcome == ExchangeOutcome::kMalformed) {
          ++tally.malformed;
        } else {
          if (outcome == ExchangeOutcome::kConnectFailed)
            ++tally.connect;
          else if (outcome == ExchangeOutcome::kTimedOut)
            ++tally.timedOut;
          else
            ++tally.lost;
          // A server that refuses connections outright would otherwise be hammered in a tight loop.
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
      tally.cpu = threadCpuSeconds() - cpuBefore;
      tally.connections = connection.connectionsOpened();
    });
  }

  const double serverCpuBefore = target.process ? target.process->cpuSeconds() : 0.0;
  const std::map<int, double> threadsBefore =
      target.process ? target.process->threadCpuSeconds() : std::map<int, double>();
  const std::map<int, double> childrenBefore =
      target.process ? target.process->childCpuSeconds() : std::map<int, double>();
  const double processCpuBefore = processCpuSeconds();
  Clock::time_point start;
  {
    std::lock_guard<std::mutex> lock(mutex);
    start = Clock::now();
    deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    go = true;
  }
  started.notify_all();
  for (std::thread& thread : threads) thread.join();

  // Throughput counts the replies that were whole when the window closed, as over a fixed time; latency
  // takes every request sent in the window, so that one that ended late still shows in the tail.
  RunResult result;
  result.window = options.seconds;
  result.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> latencies;
  for (const ClientTally& tally : tallies) {
    latencies.insert(latencies.end(), tally.latencies.begin(), tally.latencies.end());
    result.okInWindow += tally.okInWindow;
    result.httpErrors += tally.httpErrors;
    result.malformed += tally.malformed;
    result.connect += tally.connect;
    result.timedOut += tally.timedOut;
    result.lost += tally.lost;
    result.connections += tally.connections;
    result.clientCpu += tally.cpu;
  }
  if (target.process) {
    result.serverCpu = target.process->cpuSeconds() - serverCpuBefore;
    for (const auto& [tid, seconds] : target.process->threadCpuSeconds()) {
      const auto before = threadsBefore.find(tid);
      result.busiestThreadCpu =
          std::max(result.busiestThreadCpu, seconds - (before == threadsBefore.end() ? 0.0 : before->second));
    }
    result.childrenCpu = 0;
    for (const auto& [child, seconds] : target.process->childCpuSeconds()) {
      const auto before = childrenBefore.find(child);
      result.childrenCpu += seconds - (before == childrenBefore.end() ? 0.0 : before->second);
    }
  }
  if (target.inProcess) result.serverCpu = processCpuSeconds() - processCpuBefore - result.clientCpu;
  std::sort(latencies.begin(), latencies.end());
  result.ok = static_cast<long>(latencies.size());
  result.p50Ms = percentile(latencies, 0.50);
  result.p99Ms = percentile(latencies, 0.99);
  result.maxMs = latencies.empty() ? 0.0 : latencies.back();
  return result;
}

struct Row {
  std::string server;
  Pattern pattern;
  int clients;
  RunResult result;
};

std::string cores(double cpuSeconds, double seconds) {
  if (cpuSeconds < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", cpuSeconds / seconds);
  return text;
}

void printRows(const std::vector<Row>& rows) {
  std::printf(
      "| server | connections | clients | requests/s | p50 ms | p99 ms | max ms | errors: HTTP / malformed / "
      "connect / timeout / lost | connections opened | client CPU | server CPU | its busiest thread | its workers' "
      "CPU | processor time per request |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    const RunResult& r = row.result;
    // Client, server and workers together, over the requests answered in the run.
    const double total = r.clientCpu + std::max(r.serverCpu, 0.0) + std::max(r.childrenCpu, 0.0);
    char perRequest[32];
    std::snprintf(perRequest, sizeof perRequest, "%.0f us", r.ok > 0 ? total / static_cast<double>(r.ok) * 1e6 : 0.0);
    std::printf(
        "| %s | %s | %d | %.0f | %.2f | %.2f | %.1f | %ld / %ld / %ld / %ld / %ld | %ld | %s | %s | %s | %s | %s |\n",
        row.server.c_str(), patternName(row.pattern), row.clients, r.requestsPerSecond(), r.p50Ms, r.p99Ms, r.maxMs,
        r.httpErrors, r.malformed, r.connect, r.timedOut, r.lost, r.connections, cores(r.clientCpu, r.elapsed).c_str(),
        cores(r.serverCpu, r.elapsed).c_str(), cores(r.busiestThreadCpu, r.elapsed).c_str(),
        cores(r.childrenCpu, r.elapsed).c_str(), perRequest);
  }
}

const Row* findRow(const std::vector<Row>& rows, const std::string& server, Pattern pattern, int clients) {
  for (const Row& row : rows) {
    if (row.server == server && row.pattern == pattern && row.clients == clients) return &row;
  }
  return nullptr;
}

constexpr int kTargetClients = 32;
constexpr double kTargetRatio = 0.85;
constexpr double kTargetP99Ms = 20.0;

void printComparison(const std::vector<Row>& rows, const std::string& ours, const Options& options) {
  std::printf(
      "| connections | clients | %s requests/s | floor requests/s | ratio | %s p99 ms | floor p99 ms | "
      "target at %d clients: >= %.2f x floor, p99 < %.0f ms, no errors |\n|---|---|---|---|---|---|---|---|\n",
      ours.c_str(), ours.c_str(), kTargetClients, kTargetRatio, kTargetP99Ms);
  for (const Pattern pattern : options.patterns) {
    for (const int clients : options.clients) {
      const Row* our = findRow(rows, ours, pattern, clients);
      const Row* floor = findRow(rows, "floor", pattern, clients);
      if (!our || !floor) continue;
      const double ourRate = our->result.requestsPerSecond();
      const double floorRate = floor->result.requestsPerSecond();
      const double ratio = floorRate > 0 ? ourRate / floorRate : 0.0;
      std::string met = "-";
      if (clients == kTargetClients) {
        const bool ok = ratio >= kTargetRatio && our->result.p99Ms < kTargetP99Ms && our->result.errors() == 0 &&
                        our->result.ok > 0;
        met = ok ? "met" : "**not met**";
      }
      std::printf("| %s | %d | %.0f | %.0f | %.2f | %.2f | %.2f | %s |\n", patternName(pattern), clients, ourRate,
                  floorRate, ratio, our->result.p99Ms, floor->result.p99Ms, met.c_str());
    }
  }
}

constexpr int kSlowSessions = 8;
constexpr double kSlowRunSeconds = 2.0;
constexpr int64_t kShortCount = 5000;
constexpr int64_t kLongCount = 50000;
constexpr double kCountTolerance = 0.1;
constexpr double kTargetVictimRatio = 1.5;
// A slow run beside the others waits for its turn and shares the processors with them, so it takes
// several times its 2 s alone; the usual timeout would count it as lost.
constexpr std::chrono::seconds kSlowTimeout{120};

// The value of a metric without labels in the text of GET /metrics; negative when the text has none.
double metricValue(const std::string& metrics, const std::string& name) {
  const std::string key = "\n" + name + " ";
  const size_t at = ("\n" + metrics).find(key);
  if (at == std::string::npos) return -1.0;
  return std::strtod(metrics.c_str() + at + key.size() - 1, nullptr);
}

// The server's metrics text, or empty for a server that serves none.
std::string metricsText(const ServerAddress& endpoint, std::chrono::milliseconds timeout) {
  HttpConnection connection(endpoint, timeout);
  if (connection.exchange(httpRequest(ks::Endpoint::kMetrics, "", endpoint, "", true)) != ExchangeOutcome::kReply ||
      connection.reply().status != 200) {
    return std::string();
  }
  return connection.reply().body;
}

// An inference request for the slow network: its first input, the count of runs of the loop's body, holds
// `count`; the others are zeros. Throws std::runtime_error when the first input is not a single int64.
std::string slowInferenceBody(const std::vector<ks::TensorLayout>& inputs, int64_t count) {
  if (inputs.empty() || inputs[0].dataType() != ks::TensorDataType::kInt64 || inputs[0].byteSize() != sizeof count) {
    throw std::runtime_error("the slow network's first input is not one int64 count: is it slow.onnx?");
  }
  ks::InferenceRequest request;
  request.repetitions_count = 0;
  for (const ks::TensorLayout& layout : inputs) {
    ks::Tensor tensor(layout);
    std::memset(tensor.data(), 0, layout.byteSize());
    request.input_tensors.push_back(tensor);
  }
  std::memcpy(request.input_tensors[0].data(), &count, sizeof count);
  return ks::inferenceRequestToJson(request);
}

// Seconds from sending one inference to the end of its reply, on a connection of its own. Throws
// std::runtime_error when the reply is not a success.
double timedInference(const Target& target, const std::string& body, const std::string& what) {
  const Clock::time_point start = Clock::now();
  const std::string reply =
      setupExchange(target.endpoint, kSlowTimeout,
                    httpRequest(ks::Endpoint::kInference, target.sessions[0], target.endpoint, body, true), what);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!looksLikeObject(reply)) throw std::runtime_error(what + ": the reply is not a JSON object");
  return seconds;
}

// What the sessions of the slow network did while the victim ran.
struct SlowLoad {
  long completed = 0;  // successful runs, also those that ended after the victim's run
  long errors = 0;     // any other outcome
  double seconds = 0;  // summed from request to reply over the successful runs
};

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

std::string errorCounts(const RunResult& r) {
  return std::to_string(r.httpErrors) + " / " + std::to_string(r.malformed) + " / " + std::to_string(r.connect) +
         " / " + std::to_string(r.timedOut) + " / " + std::to_string(r.lost);
}

// One client on the small network, alone and then while kSlowSessions sessions send runs of the slow
// network back to back: a network whose runs take seconds must not hold up another network's requests.
// Prints a markdown section; returns the program's exit status. Throws std::runtime_error when the sessions
// cannot be set up.
int measureBesideSlowNetwork(const Target& ours, const Options& options, const std::string& victimLoadBody,
                             const std::string& slowLoadBody, const std::string& inferenceBody) {
  Target victim;
  victim.name = ours.name;
  victim.endpoint = ours.endpoint;
  victim.process = ours.process;
  Target slow = victim;
  std::fprintf(stderr, "opening 1 session on %s and %d on %s\n", options.net.c_str(), kSlowSessions,
               options.slowNet.c_str());
  openSessions(victim, 1, victimLoadBody, options.timeout);
  openSessions(slow, kSlowSessions, slowLoadBody, options.timeout);
  ks::LayoutsResponse layouts;
  ks::layoutsFromJson(
      layouts,
      setupExchange(slow.endpoint, options.timeout,
                    httpRequest(ks::Endpoint::kGetLayouts, slow.sessions[0], slow.endpoint, "", true), "get layouts")
          .c_str());

  // The count for a run of about kSlowRunSeconds, from two counts timed through the server: their
  // difference leaves out what a request costs whatever its count. The first run of each network pays for
  // what the engine sets up on first use, and is left out.
  timedInference(victim, inferenceBody, "run the small network");
  timedInference(slow, slowInferenceBody(layouts.input_layouts, 1), "run the slow network");
  const double shortSeconds =
      timedInference(slow, slowInferenceBody(layouts.input_layouts, kShortCount), "run the slow network");
  const double longSeconds =
      timedInference(slow, slowInferenceBody(layouts.input_layouts, kLongCount), "run the slow network");
  if (!(longSeconds > shortSeconds)) {
    throw std::runtime_error("the slow network's runs do not grow with their count: " + std::to_string(kShortCount) +
                             " took " + std::to_string(shortSeconds) + " s, " + std::to_string(kLongCount) + " took " +
                             std::to_string(longSeconds) + " s");
  }
  const double perIteration = (longSeconds - shortSeconds) / static_cast<double>(kLongCount - kShortCount);
  const auto firstCount = std::max<int64_t>(1, static_cast<int64_t>(kSlowRunSeconds / perIteration));
  const double firstSeconds =
      timedInference(slow, slowInferenceBody(layouts.input_layouts, firstCount), "run the slow network");
  // Short runs need not scale to long ones (caches, the processor's clock, whatever else the machine does):
  // a count that missed by more than a tenth is scaled once by what its run took.
  int64_t count = firstCount;
  double slowSeconds = firstSeconds;
  if (std::abs(firstSeconds / kSlowRunSeconds - 1.0) > kCountTolerance) {
    count =
        std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(firstCount) * kSlowRunSeconds / firstSeconds));
    slowSeconds = timedInference(slow, slowInferenceBody(layouts.input_layouts, count), "run the slow network");
  }
  const std::string slowBody = slowInferenceBody(layouts.input_layouts, count);
  std::fprintf(stderr, "slow network: %lld iterations a run, %.2f s alone\n", static_cast<long long>(count),
               slowSeconds);

  std::fprintf(stderr, "victim alone ...");
  std::fflush(stderr);
  const RunResult alone = runLoad(victim, Pattern::kKeepAlive, 1, options, inferenceBody);
  std::fprintf(stderr, " p99 %.2f ms, %ld errors\n", alone.p99Ms, alone.errors());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::fprintf(stderr, "victim beside %d sessions of the slow network ...", kSlowSessions);
  std::fflush(stderr);
  std::vector<SlowLoad> loads(kSlowSessions);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (size_t s = 0; s < loads.size(); ++s) {
    threads.emplace_back([&, s] {
      SlowLoad& load = loads[s];
      const std::string request =
          httpRequest(ks::Endpoint::kInference, slow.sessions[s], slow.endpoint, slowBody, false);
      HttpConnection connection(slow.endpoint, kSlowTimeout);
      while (!stop) {
        const Clock::time_point sent = Clock::now();
        const ExchangeOutcome outcome = connection.exchange(request);
        if (outcome == ExchangeOutcome::kReply && connection.reply().status == 200 &&
            looksLikeObject(connection.reply().body)) {
          ++load.completed;
          load.seconds += std::chrono::duration<double>(Clock::now() - sent).count();
        } else {
          // A server that refuses the runs, or the connections, would otherwise be hammered in a tight loop.
          ++load.errors;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    });
  }
  // The victim starts once every slow session's run is in the server, running or waiting for its turn, as
  // the server's gauges tell; a server without them gets a fixed half second.
  double running = -1;
  double waiting = -1;
  for (const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10); Clock::now() < giveUp;
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    const std::string metrics = metricsText(ours.endpoint, options.timeout);
    running = metricValue(metrics, "ks_running_inferences");
    waiting = metricValue(metrics, "ks_waiting_inferences");
    if (running < 0 || waiting < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      break;
    }
    if (running + waiting >= kSlowSessions) break;
  }
  const RunResult beside = runLoad(victim, Pattern::kKeepAlive, 1, options, inferenceBody);
  // Each slow session waits for the run it has under way, so that none is left in the server.
  stop = true;
  for (std::thread& thread : threads) thread.join();
  SlowLoad total;
  for (const SlowLoad& load : loads) {
    total.completed += load.completed;
    total.errors += load.errors;
    total.seconds += load.seconds;
  }
  std::fprintf(stderr, " p99 %.2f ms, %ld errors; %ld slow runs, %ld errors\n", beside.p99Ms, beside.errors(),
               total.completed, total.errors);

  std::string serverEnded;
  if (ours.process && !ours.process->ended().empty()) {
    serverEnded = ours.name + " " + ours.process->ended() + " while the slow network ran";
  } else {
    closeSessions(victim, options.timeout);
    closeSessions(slow, options.timeout);
  }

  const std::string corrected = count == firstCount
                                    ? std::string()
                                    : "; the " + std::to_string(firstCount) + " times this gave took " +
                                          secondsText(firstSeconds) + " s and were scaled to " + std::to_string(count);
  const std::string inServer = running < 0 || waiting < 0
                                   ? std::string("(the server gives no gauges of its runs)")
                                   : "(the server's gauges: " + std::to_string(static_cast<long>(running)) +
                                         " running, " + std::to_string(static_cast<long>(waiting)) + " waiting)";
  std::printf(
      "\n## A long-running network beside a short one\n\n"
      "One client (the victim) sends small inferences to a session of the identity network above, each as soon "
      "as the last reply is whole, on a kept connection for %.0f s: once alone, and once while %d other "
      "sessions each send runs of a slow network the same way, on connections of their own, every run in the "
      "server when the victim starts %s. The slow network is slow.onnx of models/make_models.py, a loop of a "
      "64 x 64 MatMul and Tanh run as many times as its first input says; %lld times, so that a run takes "
      "about %.0f s alone, calibrated through the server from %lld and %lld times (%.3f s and %.3f s)%s. A run "
      "of that count took %.2f s alone; beside the victim the slow runs took %.2f s on average from request "
      "to reply, their wait for a turn included. Victim, slow runs and server share this machine's %ld "
      "processors. The target is met when the victim's p99 beside the slow runs is within %.1f x its p99 "
      "alone, with no errors on either side.\n\n",
      options.seconds, kSlowSessions, inServer.c_str(), static_cast<long long>(count), kSlowRunSeconds,
      static_cast<long long>(kShortCount), static_cast<long long>(kLongCount), shortSeconds, longSeconds,
      corrected.c_str(), slowSeconds, total.completed > 0 ? total.seconds / static_cast<double>(total.completed) : 0.0,
      sysconf(_SC_NPROCESSORS_ONLN), kTargetVictimRatio);
  std::printf(
      "| victim | p50 ms | p99 ms | max ms | requests | errors: HTTP / malformed / connect / timeout / lost | "
      "slow runs completed | slow run errors | target | met |\n|---|---|---|---|---|---|---|---|---|---|\n");
  std::printf("| alone | %.2f | %.2f | %.1f | %ld | %s | - | - | | |\n", alone.p50Ms, alone.p99Ms, alone.maxMs,
              alone.ok, errorCounts(alone).c_str());
  std::printf("| beside %d sessions of the %.0f s network | %.2f | %.2f | %.1f | %ld | %s | %ld | %ld | | |\n",
              kSlowSessions, kSlowRunSeconds, beside.p50Ms, beside.p99Ms, beside.maxMs, beside.ok,
              errorCounts(beside).c_str(), total.completed, total.errors);
  const double ratio = alone.p99Ms > 0 ? beside.p99Ms / alone.p99Ms : 0.0;
  const bool met = alone.ok > 0 && beside.ok > 0 && ratio <= kTargetVictimRatio && alone.errors() == 0 &&
                   beside.errors() == 0 && total.completed > 0 && total.errors == 0;
  std::printf("| p99 beside them / p99 alone | | %.2f x | | | | | | <= %.1f | %s |\n", ratio, kTargetVictimRatio,
              met ? "yes" : "**no**");
  if (!serverEnded.empty()) {
    std::printf("\n**%s.**\n", serverEnded.c_str());
    return 1;
  }
  return 0;
}

int runAll(const Options& options) {
  // Both networks are read before anything is measured, so a wrong path costs no run.
  const std::string loadBody = loadRequestBody(options.net);
  const std::string slowLoadBody = options.slowNet.empty() ? std::string() : loadRequestBody(options.slowNet);
  std::unique_ptr<ks::testing::ServerProcess> process;
  Target ours;
  if (!options.serverProgram.empty()) {
    size_t most = 0;
    for (const int clients : options.clients) most = std::max(most, static_cast<size_t>(clients));
    // Every client comes from this machine: one address may hold every session.
    std::vector<std::string> arguments = {
        "--port", "0", "--max-sessions", std::to_string(std::max<size_t>(most, 64)), "--client-share-percent", "100"};
    arguments.insert(arguments.end(), options.serverArguments.begin(), options.serverArguments.end());
    std::fprintf(stderr, "starting %s\n", options.serverProgram.c_str());
    process = std::make_unique<ks::testing::ServerProcess>(options.serverProgram, arguments, options.serverLog);
    ours.endpoint = ServerAddress::resolve(process->host(), process->port());
    ours.process = process.get();
    const size_t slash = options.serverProgram.rfind('/');
    ours.name = slash == std::string::npos ? options.serverProgram : options.serverProgram.substr(slash + 1);
  } else {
    const size_t colon = options.server.rfind(':');
    if (colon == std::string::npos)
      throw std::invalid_argument("--server takes HOST:PORT, not '" + options.server + "'");
    std::string host = options.server.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    ours.endpoint = ServerAddress::resolve(
        host, static_cast<int>(positive("--server port", options.server.substr(colon + 1), 65535)));
    ours.name = options.server;
  }

  // The inference body, built once with the project's codec.
  const ks::Tensor input = ks::bench::floatTensor(options.elements);
  ks::InferenceRequest inference;
  inference.input_tensors = {input};
  inference.repetitions_count = 0;
  const std::string inferenceBody = ks::inferenceRequestToJson(inference);

  size_t sessions = 0;
  for (const int clients : options.clients) sessions = std::max(sessions, static_cast<size_t>(clients));
  std::fprintf(stderr, "opening %zu sessions on %s\n", sessions, ours.name.c_str());
  openSessions(ours, sessions, loadBody, options.timeout);

  // One real reply: checked, and served by the floor byte for byte.
  const std::string reply = setupExchange(
      ours.endpoint, options.timeout,
      httpRequest(ks::Endpoint::kInference, ours.sessions[0], ours.endpoint, inferenceBody, true), "run one inference");
  {
    ks::InferenceResponse response;
    ks::inferenceResponseFromJson(response, reply.c_str());
    if (response.output_tensors.empty() ||
        response.output_tensors[0].layout().byteSize() != input.layout().byteSize() ||
        std::memcmp(response.output_tensors[0].data(), input.data(), input.layout().byteSize()) != 0) {
      throw std::runtime_error("the network's first output is not its input: the workload is an identity network");
    }
  }

  std::unique_ptr<ks::bench::FloorServer> floorServer;
  Target floor;
  if (options.floor) {
    floorServer = std::make_unique<ks::bench::FloorServer>(reply);
    floor.name = "floor";
    floor.endpoint = ServerAddress::resolve("127.0.0.1", floorServer->port());
    floor.inProcess = true;
    openSessions(floor, 1, loadBody, options.timeout);
  }

  // Ours and the floor alternate, so that whatever else the machine does falls on both alike. A server that
  // ends during a run ends the measurement.
  std::vector<Row> rows;
  std::string serverEnded;
  const std::string loadBefore = loadAverage();
  for (const Pattern pattern : options.patterns) {
    for (const int clients : options.clients) {
      for (const Target* target : {&ours, &floor}) {
        if (!serverEnded.empty() || (target == &floor && !options.floor)) continue;
        std::fprintf(stderr, "%s, %s, %d clients ...", target->name.c_str(), patternName(pattern), clients);
        std::fflush(stderr);
        const RunResult result = runLoad(*target, pattern, clients, options, inferenceBody);
        std::fprintf(stderr, " %.0f requests/s, p99 %.2f ms, %ld errors\n", result.requestsPerSecond(), result.p99Ms,
                     result.errors());
        rows.push_back(Row{target->name, pattern, clients, result});
        if (target->process && !target->process->ended().empty()) {
          serverEnded = target->name + " " + target->process->ended() + " during the run with " + patternName(pattern) +
                        " and " + std::to_string(clients) + " clients";
          std::fprintf(stderr, "%s\n", serverEnded.c_str());
        }
        // Let the last run's closing connections settle before the next one starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
    }
  }
  if (serverEnded.empty()) closeSessions(ours, options.timeout);
  const std::string loadAfter = loadAverage();

  std::printf(
      "Small inferences: an identity network of %d float32 elements; requests of %zu bytes, replies of %zu "
      "bytes (body). %.0f s per run; each client is a thread that sends its next request as soon as the "
      "last reply is whole, on a session of its own opened and loaded before the timed part. "
      "Client and servers share this machine's %ld processors: \"client CPU\" and \"server CPU\" are the "
      "processors each side kept busy on average (the load generator's share is taken from the servers'), "
      "not counting a server's worker processes; \"its busiest thread\" is the share of one processor "
      "its busiest thread kept (for ks_inference_server its event loop: at 1.00 that thread bounds it), "
      "\"its workers' CPU\" its worker processes'; the processor time per request adds client, server and "
      "workers over the requests answered: when the processors are all busy, requests/s cannot pass their "
      "count over it, so the floor's time over ours bounds the ratio. "
      "Requests/s counts the successful replies that were whole when the run's time was up; latency runs "
      "from the first byte sent to the last byte read (connecting included for a new connection per "
      "request) and its percentiles take every successful request sent in the run, also those that ended "
      "after it. The machine's load average (1 min) was %s before the runs and %s after them, the "
      "load generator's own threads included.\n\n",
      options.elements, inferenceBody.size(), reply.size(), options.seconds, sysconf(_SC_NPROCESSORS_ONLN),
      loadBefore.c_str(), loadAfter.c_str());
  printRows(rows);
  if (options.floor) {
    std::printf("\nThe floor: %s, answering every POST /inference with a reply captured from %s (same bytes).\n\n",
                ks::bench::FloorServer::kSettings, ours.name.c_str());
    printComparison(rows, ours.name, options);
  }
  if (!serverEnded.empty()) {
    std::printf("\n**%s; the runs after it were not made.**\n", serverEnded.c_str());
    return 1;
  }
  if (options.slowNet.empty()) return 0;
  // What came before is whole: a failure from here on leaves it printed.
  std::fflush(stdout);
  return measureBesideSlowNetwork(ours, options, loadBody, slowLoadBody, inferenceBody);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ks_load_generator: %s\n%s", e.what(), kUsage);
    return 2;
  }
  try {
    return runAll(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ks_load_generator: %s\n", e.what());
    return 1;
  }
}

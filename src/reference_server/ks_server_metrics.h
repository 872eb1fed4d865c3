// What GET /metrics reports, in Prometheus's text format: requests by endpoint and outcome, their latency,
// bytes in and out, engine time, and the server's gauges.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "ks_endpoints.h"

namespace ks {
namespace server {

// Values read when the metrics are rendered.
struct ServerGauges {
  uint64_t openSessions = 0;
  uint64_t loadedNetworks = 0;
  uint64_t networkBytes = 0;  // what the engine holds for them
  // What clients make the server hold (networks and run regions), against its budget (0: none).
  uint64_t clientMemoryBytes = 0;
  uint64_t clientMemoryBudgetBytes = 0;
  uint64_t runRegionBytes = 0;
  uint64_t memoryRefusals = 0;
  uint64_t cachedNetworks = 0;
  uint64_t cacheBytes = 0;
  uint64_t openConnections = 0;
  uint64_t queuedRequests = 0;     // complete, waiting for a handler thread
  uint64_t runningRequests = 0;    // with a handler thread
  uint64_t waitingInferences = 0;  // in their network's queue
  uint64_t runningInferences = 0;  // on a channel of their network's worker (placed, run or answered)
  // The engine's worker processes.
  uint64_t workerStarts = 0;
  uint64_t workerProcesses = 0;                // running now
  std::map<std::string, uint64_t> workerEnds;  // by how they ended ("crashed", "sandbox", ...)
  uint64_t quarantines = 0;
  uint64_t rerunAlone = 0;    // runs in a worker process as it ended, run again alone
  uint64_t crashingRuns = 0;  // of those, the ones that ended the fresh worker too
  // The store the nodes share, when there is one.
  bool sharedStore = false;
  bool storeUp = false;
  uint64_t storeFailures = 0;
  uint64_t takeovers = 0;      // sessions taken from the store
  double takeoverSeconds = 0;  // the time that took, in all
};

// Thread-safe.
class ServerMetrics {
 public:
  // Requests are counted under their endpoint's name; null (no endpoint of the protocol) counts as "other".
  static const char* nameOf(const EndpointInfo* endpoint);
  void recordRequest(const EndpointInfo* endpoint, int httpStatus, double seconds, uint64_t bytesIn, uint64_t bytesOut);
  // Wall-clock time the engine spent on one inference request (every repetition).
  void recordEngineTime(double seconds);

  std::string render(const ServerGauges& gauges) const;

 private:
  static constexpr size_t kBuckets = 14;
  static const std::array<double, kBuckets> kBucketBounds;  // seconds; +Inf is implied
  struct Histogram {
    std::array<uint64_t, kBuckets> counts{};  // not cumulative; rendered cumulatively
    uint64_t count = 0;
    double sum = 0.0;
    void add(double seconds);
  };

  mutable std::mutex mutex_;  // guards everything below
  // By endpoint: its place in the protocol's table, kEndpointCount for "other".
  std::map<std::pair<size_t, int>, uint64_t> requests_;
  std::map<size_t, Histogram> latency_;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
  Histogram engine_;
};

}  // namespace server
}  // namespace ks

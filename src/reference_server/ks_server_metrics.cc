#include "ks_server_metrics.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace ks {
namespace server {
namespace {

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char line[256];
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    throw std::runtime_error("metrics: a line could not be formatted");
  }
  if (static_cast<size_t>(length) < sizeof line) {
    out.append(line, static_cast<size_t>(length));
  } else {
    // A long line (a long label value): formatted again, straight into the text.
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(&out[at], static_cast<size_t>(length) + 1, format, again);
    out.resize(at + static_cast<size_t>(length));
  }
  va_end(again);
}

// One metric without labels: its HELP and TYPE lines, then its value.
void appendMetric(std::string& out, const char* name, const char* type, const char* help, uint64_t value) {
  appendf(out, "# HELP %s %s\n# TYPE %s %s\n%s %llu\n", name, help, name, type, name,
          static_cast<unsigned long long>(value));
}

}  // namespace

const std::array<double, ServerMetrics::kBuckets> ServerMetrics::kBucketBounds = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10, 60};

namespace {

size_t indexOf(const EndpointInfo* endpoint) {
  return endpoint == nullptr ? kEndpointCount : static_cast<size_t>(endpoint->endpoint);
}

const char* nameAt(size_t index) { return index < kEndpointCount ? endpoints()[index].name : "other"; }

}  // namespace

const char* ServerMetrics::nameOf(const EndpointInfo* endpoint) { return nameAt(indexOf(endpoint)); }

void ServerMetrics::Histogram::add(double seconds) {
  size_t bucket = 0;
  while (bucket < kBuckets && seconds > kBucketBounds[bucket]) ++bucket;
  if (bucket < kBuckets) ++counts[bucket];
  ++count;
  sum += seconds;
}

void ServerMetrics::recordRequest(const EndpointInfo* endpoint, int httpStatus, double seconds, uint64_t bytesIn,
                                  uint64_t bytesOut) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_[{indexOf(endpoint), httpStatus}];
  latency_[indexOf(endpoint)].add(seconds);
  bytesIn_ += bytesIn;
  bytesOut_ += bytesOut;
}

void ServerMetrics::recordEngineTime(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  engine_.add(seconds);
}

std::string ServerMetrics::render(const ServerGauges& gauges) const {
  std::string out;
  auto histogram = [&](const char* name, const char* labels, const Histogram& h) {
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
      cumulative += h.counts[i];
      appendf(out, "%s_bucket{%s%sle=\"%g\"} %llu\n", name, labels, *labels ? "," : "", kBucketBounds[i],
              static_cast<unsigned long long>(cumulative));
    }
    appendf(out, "%s_bucket{%s%sle=\"+Inf\"} %llu\n", name, labels, *labels ? "," : "",
            static_cast<unsigned long long>(h.count));
    const std::string braced = *labels ? std::string("{") + labels + "}" : std::string();
    appendf(out, "%s_sum%s %.6f\n", name, braced.c_str(), h.sum);
    appendf(out, "%s_count%s %llu\n", name, braced.c_str(), static_cast<unsigned long long>(h.count));
  };
  std::lock_guard<std::mutex> lock(mutex_);
  out += "# HELP ks_requests_total Requests answered, by endpoint and HTTP status.\n";
  out += "# TYPE ks_requests_total counter\n";
  for (const auto& [key, count] : requests_) {
    appendf(out, "ks_requests_total{endpoint=\"%s\",status=\"%d\"} %llu\n", nameAt(key.first), key.second,
            static_cast<unsigned long long>(count));
  }
  out += "# HELP ks_request_duration_seconds Time from a request's first byte to its reply's last.\n";
  out += "# TYPE ks_request_duration_seconds histogram\n";
  for (const auto& [endpoint, h] : latency_) {
    const std::string labels = std::string("endpoint=\"") + nameAt(endpoint) + "\"";
    histogram("ks_request_duration_seconds", labels.c_str(), h);
  }
  out += "# HELP ks_engine_duration_seconds Time the engine spent on one inference request.\n";
  out += "# TYPE ks_engine_duration_seconds histogram\n";
  histogram("ks_engine_duration_seconds", "", engine_);
  out += "# HELP ks_received_bytes_total Request bytes received.\n# TYPE ks_received_bytes_total counter\n";
  appendf(out, "ks_received_bytes_total %llu\n", static_cast<unsigned long long>(bytesIn_));
  out += "# HELP ks_sent_bytes_total Reply bytes sent.\n# TYPE ks_sent_bytes_total counter\n";
  appendf(out, "ks_sent_bytes_total %llu\n", static_cast<unsigned long long>(bytesOut_));
  const std::pair<const char*, uint64_t> gaugeValues[] = {{"ks_open_sessions", gauges.openSessions},
                                                          {"ks_loaded_networks", gauges.loadedNetworks},
                                                          {"ks_network_memory_bytes", gauges.networkBytes},
                                                          {"ks_cached_networks", gauges.cachedNetworks},
                                                          {"ks_cache_bytes", gauges.cacheBytes},
                                                          {"ks_open_connections", gauges.openConnections},
                                                          {"ks_queued_requests", gauges.queuedRequests},
                                                          {"ks_running_requests", gauges.runningRequests},
                                                          {"ks_waiting_inferences", gauges.waitingInferences},
                                                          {"ks_running_inferences", gauges.runningInferences}};
  for (const auto& [name, value] : gaugeValues) {
    appendf(out, "# TYPE %s gauge\n%s %llu\n", name, name, static_cast<unsigned long long>(value));
  }
  appendMetric(out, "ks_client_memory_bytes", "gauge", "What clients make the server hold: networks and run regions.",
               gauges.clientMemoryBytes);
  appendMetric(out, "ks_client_memory_budget_bytes", "gauge", "The budget of ks_client_memory_bytes; 0: none.",
               gauges.clientMemoryBudgetBytes);
  appendMetric(out, "ks_run_region_bytes", "gauge", "Of ks_client_memory_bytes, the regions holding runs' tensors.",
               gauges.runRegionBytes);
  appendMetric(out, "ks_memory_refusals_total", "counter",
               "Requests whose tensors found no room in the budget in time.", gauges.memoryRefusals);
  appendMetric(out, "ks_worker_starts_total", "counter", "Engine worker processes started.", gauges.workerStarts);
  out += "# HELP ks_worker_ends_total Engine worker processes that ended, by how.\n";
  out += "# TYPE ks_worker_ends_total counter\n";
  for (const auto& [how, count] : gauges.workerEnds) {
    appendf(out, "ks_worker_ends_total{how=\"%s\"} %llu\n", how.c_str(), static_cast<unsigned long long>(count));
  }
  appendMetric(out, "ks_worker_processes", "gauge", "Engine worker processes running.", gauges.workerProcesses);
  appendMetric(out, "ks_network_quarantines_total", "counter",
               "Networks quarantined for ending worker processes in a row.", gauges.quarantines);
  appendMetric(out, "ks_runs_rerun_alone_total", "counter",
               "Runs that were in a worker process as it ended, run again alone.", gauges.rerunAlone);
  appendMetric(out, "ks_crashing_runs_total", "counter",
               "Runs that ended a worker process alone, counted against their session.", gauges.crashingRuns);
  if (gauges.sharedStore) {
    out += "# HELP ks_session_store_up Whether the session store the nodes share answered last time.\n";
    appendf(out, "# TYPE ks_session_store_up gauge\nks_session_store_up %d\n", gauges.storeUp ? 1 : 0);
    out += "# HELP ks_session_store_failures_total Requests to the session store that failed.\n";
    appendf(out, "# TYPE ks_session_store_failures_total counter\nks_session_store_failures_total %llu\n",
            static_cast<unsigned long long>(gauges.storeFailures));
    out += "# HELP ks_session_takeovers_total Sessions another node opened, taken from the store.\n";
    appendf(out, "# TYPE ks_session_takeovers_total counter\nks_session_takeovers_total %llu\n",
            static_cast<unsigned long long>(gauges.takeovers));
    out += "# HELP ks_session_takeover_seconds_total Time spent taking sessions over (record and network).\n";
    appendf(out, "# TYPE ks_session_takeover_seconds_total counter\nks_session_takeover_seconds_total %.6f\n",
            gauges.takeoverSeconds);
  }
  return out;
}

}  // namespace server
}  // namespace ks

// What a worker process writes to its standard output and error, made into lines fit for the server's log.
// Code that runs in a worker is a client's, so its words are bounded like a client's: each line is cut to
// kMaxLineBytes, shows anything but printable ASCII as '?', and lines beyond a burst of kBurstLines and
// then kLinesPerSecond are dropped and counted, the count said with the next line that passes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ks {
namespace server {

class WorkerLog {
 public:
  using Clock = std::chrono::steady_clock;
  // Receives each line, without its newline; the caller adds whose it is.
  using Sink = std::function<void(const std::string& line)>;

  static constexpr size_t kMaxLineBytes = 200;
  static constexpr double kBurstLines = 20;
  static constexpr double kLinesPerSecond = 5;

  explicit WorkerLog(Sink sink);

  // Takes the next `size` bytes the worker wrote.
  void feed(const char* bytes, size_t size, Clock::time_point now = Clock::now());
  // The worker has gone: a last line without its newline, and what was dropped, are said now.
  void finish();

  uint64_t dropped() const { return droppedTotal_; }

 private:
  void endLine(Clock::time_point now);

  Sink sink_;
  std::string line_;
  bool cut_ = false;  // the line went past kMaxLineBytes
  double tokens_ = kBurstLines;
  Clock::time_point last_{};
  uint64_t dropped_ = 0;  // since the last line said
  uint64_t droppedTotal_ = 0;
};

}  // namespace server
}  // namespace ks

#include "ks_worker_log.h"

#include <algorithm>
#include <utility>

namespace ks {
namespace server {

WorkerLog::WorkerLog(Sink sink) : sink_(std::move(sink)) {}

void WorkerLog::feed(const char* bytes, size_t size, Clock::time_point now) {
  for (size_t i = 0; i < size; ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      endLine(now);
    } else if (line_.size() < kMaxLineBytes) {
      line_ += c >= 0x20 && c < 0x7f ? c : '?';
    } else {
      cut_ = true;
    }
  }
}

void WorkerLog::endLine(Clock::time_point now) {
  if (last_ != Clock::time_point{}) {
    const double seconds = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(kBurstLines, tokens_ + std::max(0.0, seconds) * kLinesPerSecond);
  }
  last_ = now;
  std::string line = std::move(line_);
  line_.clear();
  const bool cut = std::exchange(cut_, false);
  if (tokens_ < 1) {
    ++dropped_;
    ++droppedTotal_;
    return;
  }
  tokens_ -= 1;
  if (cut) line += " [cut]";
  if (dropped_ != 0) line += " (" + std::to_string(std::exchange(dropped_, 0)) + " lines dropped before this one)";
  sink_(line);
}

void WorkerLog::finish() {
  if (!line_.empty() || cut_) {
    // The last line is said whatever the rate: the worker has gone and writes no more.
    tokens_ = std::max(tokens_, 1.0);
    endLine(Clock::now());
  }
  if (dropped_ != 0) {
    sink_("(" + std::to_string(std::exchange(dropped_, 0)) + " lines dropped, the last ones it wrote)");
  }
}

}  // namespace server
}  // namespace ks

// Stops inferences that run too long, and all of them when the server stops, so no request holds a worker
// for ever.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "ks_run_control.h"

namespace ks {
namespace server {

class RunWatchdog {
 public:
  using Clock = std::chrono::steady_clock;

  // Interrupts every watched run `limit` after its watch began; a zero limit never does.
  explicit RunWatchdog(Clock::duration limit);
  ~RunWatchdog();
  RunWatchdog(const RunWatchdog&) = delete;
  RunWatchdog& operator=(const RunWatchdog&) = delete;

  // Watches `control` for as long as the Watch lives; `control` must outlive it.
  class Watch {
   public:
    Watch(RunWatchdog& watchdog, RunControl& control);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

   private:
    RunWatchdog& watchdog_;
    RunControl& control_;
  };

  // Interrupts every watched run with `reason`, and every run watched from now on at once.
  void interruptAll(const std::string& reason);

 private:
  void loop();

  const Clock::duration limit_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::multimap<Clock::time_point, RunControl*> deadlines_;
  bool stopping_ = false;
  std::string stopReason_;
  bool exiting_ = false;
  // When the watchdog thread wakes next by itself.
  Clock::time_point sleepsUntil_ = Clock::time_point::min();
  std::thread thread_;
};

}  // namespace server
}  // namespace ks

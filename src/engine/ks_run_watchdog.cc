#include "ks_run_watchdog.h"

#include <vector>

namespace ks {
namespace server {

RunWatchdog::RunWatchdog(Clock::duration limit) : limit_(limit), thread_([this] { loop(); }) {}

RunWatchdog::~RunWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exiting_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

RunWatchdog::Watch::Watch(RunWatchdog& watchdog, RunControl& control) : watchdog_(watchdog), control_(control) {
  std::lock_guard<std::mutex> lock(watchdog_.mutex_);
  if (watchdog_.stopping_) {
    control_.interrupt(watchdog_.stopReason_);
    return;
  }
  if (watchdog_.limit_ == Clock::duration::zero()) return;
  const Clock::time_point deadline = Clock::now() + watchdog_.limit_;
  watchdog_.deadlines_.emplace(deadline, &control_);
  // Waking the watchdog costs the request two switches of thread; it need not know of a deadline later
  // than the one it sleeps until, which every new one is while it runs as loop() says.
  if (deadline < watchdog_.sleepsUntil_) watchdog_.changed_.notify_all();
}

RunWatchdog::Watch::~Watch() {
  std::lock_guard<std::mutex> lock(watchdog_.mutex_);
  for (auto it = watchdog_.deadlines_.begin(); it != watchdog_.deadlines_.end(); ++it) {
    if (it->second == &control_) {
      watchdog_.deadlines_.erase(it);
      break;
    }
  }
}

void RunWatchdog::interruptAll(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  stopReason_ = reason;
  for (const auto& entry : deadlines_) entry.second->interrupt(reason);
}

void RunWatchdog::loop() {
  const std::string reason = "it ran longer than the limit of " +
                             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit_).count()) +
                             " s an inference may take";
  std::unique_lock<std::mutex> lock(mutex_);
  while (!exiting_) {
    if (deadlines_.empty()) {
      // No watch begun from now on can end before this.
      sleepsUntil_ = limit_ == Clock::duration::zero() ? Clock::time_point::max() : Clock::now() + limit_;
      if (sleepsUntil_ == Clock::time_point::max()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, sleepsUntil_);
      }
      continue;
    }
    const Clock::time_point next = deadlines_.begin()->first;
    if (Clock::now() < next) {
      sleepsUntil_ = next;
      changed_.wait_until(lock, next);
      continue;
    }
    // An interrupted run leaves the list at once, so it is interrupted once; its watch then finds nothing.
    for (auto it = deadlines_.begin(); it != deadlines_.end() && it->first <= Clock::now();) {
      it->second->interrupt(reason);
      it = deadlines_.erase(it);
    }
  }
}

}  // namespace server
}  // namespace ks

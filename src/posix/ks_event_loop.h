// An epoll loop that one thread runs: descriptors watched with a callback each, timers, and tasks any
// thread may post. Everything but post() and wake() belongs to the thread that runs the loop (or to
// whoever holds it before and after).
#pragma once

#include <sys/epoll.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ks_unique_fd.h"

namespace ks {
namespace server {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Callback = std::function<void(uint32_t events)>;
  using Task = std::function<void()>;
  using TimerId = uint64_t;

  // Throws std::system_error when epoll or the wake-up descriptor cannot be had.
  EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls `callback` with the epoll events of `fd` (EPOLLIN, EPOLLOUT, ...) each round they occur, until
  // unwatch(fd). The descriptor stays the caller's; one closed without unwatch() leaves the epoll set by
  // itself, and a later watch() of its number replaces what is left. Returns a key for unwatchKey().
  // Throws std::system_error.
  uint64_t watch(int fd, uint32_t events, Callback callback);
  void modify(int fd, uint32_t events);
  // From now on the callback is not called, not even for events of this round not yet handed out.
  void unwatch(int fd);
  // For a descriptor about to be closed that no other descriptor shares: the close takes it out of the
  // epoll set, so this only forgets it, sparing a system call.
  void forget(int fd);
  // The same as unwatch(), unless the descriptor's number has been watched anew since `key` was given.
  void unwatchKey(int fd, uint64_t key);

  // Runs `task` on the loop once `when` has come. Returns an id for cancel().
  TimerId at(Clock::time_point when, Task task);
  void cancel(TimerId id);

  // Any thread: runs `task` on the loop, in the order posted, after the descriptors of the round.
  void post(Task task);
  // Any thread: makes the current or next wait return.
  void wake();

  // Loop thread: until `until`, the next rounds look for events without sleeping. For an answer expected
  // within microseconds (a small run in a worker): putting the thread to sleep and waking it again costs
  // more than looking a few times.
  void spinUntil(Clock::time_point until) { spinUntil_ = std::max(spinUntil_, until); }

  // Makes the calling thread the loop's: inLoopThread() is true there only.
  void bindToThisThread() { owner_ = std::this_thread::get_id(); }
  bool inLoopThread() const { return std::this_thread::get_id() == owner_; }

  // One round: waits up to `timeoutMs` (negative: no limit; the next timer shortens it), then hands out
  // the descriptors' events, runs the timers that are due and the posted tasks. Returns whether anything
  // happened.
  bool runOnce(int timeoutMs);

  // Runs `hook` on the loop before each round that may sleep.
  void beforeSleep(Task hook) { beforeSleep_ = std::move(hook); }

  // Tasks posted and not yet run; timers not yet due. For a loop that ends: dropped, not run.
  void dropPending();

 private:
  struct Watched {
    int fd;
    Callback callback;
  };

  UniqueFd epoll_;
  UniqueFd wakeFd_;
  std::thread::id owner_;
  Clock::time_point spinUntil_{};
  Task beforeSleep_;
  uint64_t nextKey_ = 1;
  std::unordered_map<uint64_t, Watched> watched_;  // by key, the epoll data
  std::unordered_map<int, uint64_t> keys_;         // by descriptor
  TimerId nextTimer_ = 1;
  std::map<std::pair<Clock::time_point, TimerId>, Task> timers_;
  std::unordered_map<TimerId, Clock::time_point> timerDue_;
  std::mutex mutex_;  // guards posted_
  std::vector<Task> posted_;
};

}  // namespace server
}  // namespace ks

#include "ks_event_loop.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace ks {
namespace server {
namespace {

constexpr uint64_t kWakeKey = 0;
constexpr int kMaxEvents = 256;

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

EventLoop::EventLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      owner_(std::this_thread::get_id()) {
  if (!epoll_ || !wakeFd_) fail("cannot create the event loop");
  epoll_event interest{EPOLLIN, {}};
  interest.data.u64 = kWakeKey;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeFd_.get(), &interest) != 0) fail("epoll_ctl");
}

uint64_t EventLoop::watch(int fd, uint32_t events, Callback callback) {
  if (keys_.count(fd) != 0) unwatch(fd);  // a number reused before its old owner said goodbye
  const uint64_t key = nextKey_++;
  epoll_event interest{events, {}};
  interest.data.u64 = key;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &interest) != 0) fail("epoll_ctl");
  watched_.emplace(key, Watched{fd, std::move(callback)});
  keys_.emplace(fd, key);
  return key;
}

void EventLoop::forget(int fd) {
  const auto found = keys_.find(fd);
  if (found == keys_.end()) return;
  watched_.erase(found->second);
  keys_.erase(found);
}

void EventLoop::unwatchKey(int fd, uint64_t key) {
  const auto found = keys_.find(fd);
  if (found != keys_.end() && found->second == key) unwatch(fd);
}

void EventLoop::modify(int fd, uint32_t events) {
  const auto found = keys_.find(fd);
  if (found == keys_.end()) return;
  epoll_event interest{events, {}};
  interest.data.u64 = found->second;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &interest);
}

void EventLoop::unwatch(int fd) {
  const auto found = keys_.find(fd);
  if (found == keys_.end()) return;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  watched_.erase(found->second);
  keys_.erase(found);
}

EventLoop::TimerId EventLoop::at(Clock::time_point when, Task task) {
  const TimerId id = nextTimer_++;
  timers_.emplace(std::make_pair(when, id), std::move(task));
  timerDue_.emplace(id, when);
  return id;
}

void EventLoop::cancel(TimerId id) {
  const auto found = timerDue_.find(id);
  if (found == timerDue_.end()) return;
  timers_.erase(std::make_pair(found->second, id));
  timerDue_.erase(found);
}

void EventLoop::post(Task task) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = posted_.empty();
    posted_.push_back(std::move(task));
  }
  // One wake per batch: the loop takes every task posted by the time it looks, and looks before it
  // sleeps, so its own posts need none.
  if (first && !inLoopThread()) wake();
}

void EventLoop::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

bool EventLoop::runOnce(int timeoutMs) {
  if (!timers_.empty()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now()).count();
    const int untilTimer = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 60'000));
    if (timeoutMs < 0 || untilTimer < timeoutMs) timeoutMs = untilTimer;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!posted_.empty()) timeoutMs = 0;
  }
  if (timeoutMs != 0 && beforeSleep_) beforeSleep_();
  epoll_event events[kMaxEvents];
  int count = 0;
  if (timeoutMs != 0 && spinUntil_ > Clock::now()) {
    do {
      count = ::epoll_wait(epoll_.get(), events, kMaxEvents, 0);
    } while (count == 0 && Clock::now() < spinUntil_);
  }
  if (count == 0) count = ::epoll_wait(epoll_.get(), events, kMaxEvents, timeoutMs);
  bool any = count > 0;
  for (int i = 0; i < count; ++i) {
    const uint64_t key = events[i].data.u64;
    if (key == kWakeKey) {
      uint64_t value;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd_.get(), &value, sizeof value);
      continue;
    }
    const auto found = watched_.find(key);
    if (found == watched_.end()) continue;  // unwatched earlier in this round
    // A copy: the callback may unwatch its own descriptor.
    const Callback callback = found->second.callback;
    callback(events[i].events);
  }
  const Clock::time_point now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    auto first = timers_.begin();
    Task task = std::move(first->second);
    timerDue_.erase(first->first.second);
    timers_.erase(first);
    task();
    any = true;
  }
  std::vector<Task> tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks.swap(posted_);
  }
  for (Task& task : tasks) task();
  return any || !tasks.empty();
}

void EventLoop::dropPending() {
  std::vector<Task> tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks.swap(posted_);
  }
  timers_.clear();
  timerDue_.clear();
}

}  // namespace server
}  // namespace ks

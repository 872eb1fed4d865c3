// The loop the server's front runs on: timers in order and cancellable, tasks posted from other threads
// waking a loop that sleeps, and descriptors that stop being reported the moment they are unwatched.
#include "ks_event_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ks_unique_fd.h"

namespace ks {
namespace server {
namespace {

using namespace std::chrono_literals;
using Clock = EventLoop::Clock;

TEST(EventLoop, TimersRunInTheirOrderAndACancelledOneNever) {
  EventLoop loop;
  std::string ran;
  const auto now = Clock::now();
  loop.at(now + 20ms, [&] { ran += "c"; });
  loop.at(now + 1ms, [&] { ran += "a"; });
  const EventLoop::TimerId cancelled = loop.at(now + 5ms, [&] { ran += "x"; });
  loop.at(now + 10ms, [&] { ran += "b"; });
  loop.cancel(cancelled);
  while (ran.size() < 3 && Clock::now() < now + 5s) loop.runOnce(-1);  // no timeout: the timers wake it
  EXPECT_EQ("abc", ran);
}

TEST(EventLoop, ATaskPostedFromAnotherThreadWakesASleepingLoop) {
  EventLoop loop;
  std::atomic<bool> ran{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    loop.post([&] { ran = true; });
  });
  const auto start = Clock::now();
  while (!ran && Clock::now() < start + 5s) loop.runOnce(10'000);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_LT(Clock::now() - start, 5s);  // woken, not timed out
}

// A callback that unwatches another descriptor ready in the same round: the other is not reported, even
// though epoll handed both out at once; and a descriptor number watched anew gets only the new callback.
TEST(EventLoop, AnUnwatchedDescriptorIsNotReportedAgainNotEvenInTheSameRound) {
  EventLoop loop;
  UniqueFd first(::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC));
  UniqueFd second(::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC));
  int calls = 0;
  const auto each = [&](int other) {
    return [&, other](uint32_t) {
      ++calls;
      loop.unwatch(other);
    };
  };
  loop.watch(first.get(), EPOLLIN, each(second.get()));
  const uint64_t old = loop.watch(second.get(), EPOLLIN, each(first.get()));
  loop.runOnce(0);
  EXPECT_EQ(1, calls);
  // Whichever ran unwatched the other; the one left is still watched, and level-triggered.
  loop.runOnce(0);
  EXPECT_EQ(2, calls);

  loop.unwatch(first.get());
  std::string which;
  loop.watch(second.get(), EPOLLIN, [&](uint32_t) { which = "new"; });
  loop.unwatchKey(second.get(), old);  // the old key no longer names it: nothing happens
  loop.runOnce(0);
  EXPECT_EQ("new", which);
}

}  // namespace
}  // namespace server
}  // namespace ks

#include "ks_http_deadlines.h"

#include <gtest/gtest.h>

namespace ks {
namespace server {
namespace {

using Clock = HttpDeadlines::Clock;

TEST(HttpDeadlines, HandsOutWhatIsDueEarliestFirstAndForgetsMovedAndClearedOnes) {
  HttpDeadlines deadlines;
  const Clock::time_point t0 = Clock::now();
  const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  deadlines.set(1, at(30));
  deadlines.set(2, at(10));
  deadlines.set(3, at(20));
  deadlines.set(1, at(5));  // moved earlier: its old place is gone
  deadlines.set(3, HttpDeadlines::kNever);
  deadlines.set(4, at(20));
  EXPECT_EQ(at(5), deadlines.next());
  EXPECT_EQ((std::vector<uint64_t>{1, 2}), deadlines.takeDue(at(10)));
  EXPECT_EQ(at(20), deadlines.next());
  EXPECT_EQ(1u, deadlines.size());
  deadlines.clear(4);
  EXPECT_TRUE(deadlines.takeDue(at(1000)).empty());
  EXPECT_EQ(HttpDeadlines::kNever, deadlines.next());
}

}  // namespace
}  // namespace server
}  // namespace ks
